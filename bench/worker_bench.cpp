// Times the worker passes against the single-process step, in one process: a corpus file is
// counted, its entries dealt to W workers (entry k to worker k mod W), and training runs
// single-process; at chosen steps the same merge is applied by every worker with bucket files
// (use_diff), each worker timed on its own, as one worker process would run it.
// Usage: worker_bench CORPUS [workers=8] [steps=2000] [threads per worker=1]
// Prints the statistics pass per worker, then per reported step the single-process step and the
// slowest and median worker merge pass.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/corpus_file.hpp"
#include "core/entry_index.hpp"
#include "core/select.hpp"
#include "core/stats_fold.hpp"
#include "core/trainer.hpp"
#include "multiproc/worker_state.hpp"

using namespace zelkor;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool reported(uint64_t step, uint64_t steps) {
  return step < 5 || (step >= 100 && step < 103) || step + 3 >= steps;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: worker_bench CORPUS [workers] [steps] [threads]\n");
    return 2;
  }
  setenv("LOG_LEVEL", "error", 1);
  const size_t workers = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8;
  const uint64_t steps = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2000;
  setenv("WORKER_THREADS", argc > 4 ? argv[4] : "1", 1);
  auto corpus = read_corpus_lines(argv[1]);
  if (!corpus) {
    std::fprintf(stderr, "%s\n", corpus.error().render().c_str());
    return 1;
  }
  Zelkor trainer;
  trainer.config.aim_token_num = 0;
  trainer.build_vocab(corpus->lines);
  corpus->lines = {};

  std::vector<std::vector<SeqEntry>> shares(workers);
  for (size_t k = 0; k < trainer.entries.size(); ++k) shares[k % workers].push_back(trainer.entries[k]);
  std::vector<mp::WorkerState> states;
  for (auto& share : shares) states.emplace_back(std::move(share), trainer.config.n_values);
  std::printf("%zu entries over %zu workers, %s thread(s) each\n", trainer.entries.size(), workers,
              std::getenv("WORKER_THREADS"));

  std::vector<double> stats_ms;
  for (const auto& state : states) {
    const auto t = Clock::now();
    const StatsMap stats = state.compute_stats();
    stats_ms.push_back(ms_since(t));
  }
  auto t = Clock::now();
  trainer.rebuild_global_stats();
  std::printf("statistics pass per worker: median %.0f ms, max %.0f ms; single-process recount %.0f ms\n",
              median(stats_ms), *std::max_element(stats_ms.begin(), stats_ms.end()), ms_since(t));

  const std::string root = (std::filesystem::temp_directory_path() / "zk_worker_bench").string();
  EntryIndex index(std::move(trainer.entries), &trainer.interner);
  for (uint64_t step = 0; step < steps; ++step) {
    auto best = select_best_candidate(trainer.stats, CandidateFilter(trainer.config, trainer.interner));
    if (!best) break;
    const NgramKey key = *best->key;
    std::string text;
    for (uint32_t id : key) text += trainer.interner.id_to_token[id];
    const uint32_t id = trainer.interner.intern(text);
    t = Clock::now();
    trainer.apply_merge(key, id, index, nullptr, HeapOffers{});
    const double single = ms_since(t);
    std::vector<double> worker_ms;
    for (size_t w = 0; w < workers; ++w) {
      const std::string dir = root + "/w" + std::to_string(w);
      t = Clock::now();
      states[w].apply_merge(mp::ApplyMerge{TokenIds(key.begin(), key.end()), id, false, true, 1024, dir});
      worker_ms.push_back(ms_since(t));
    }
    if (reported(step, steps)) {
      std::printf("step %5llu: single-process %8.2f ms; workers median %8.2f ms, max %8.2f ms\n",
                  static_cast<unsigned long long>(step), single, median(worker_ms),
                  *std::max_element(worker_ms.begin(), worker_ms.end()));
    }
    std::filesystem::remove_all(root);
  }
  return 0;
}
