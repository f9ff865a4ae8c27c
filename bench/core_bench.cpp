// Times the training core on a synthetic corpus: corpus counting, one full statistics recount,
// and single merge steps (selection + merge application), each as the median of several runs.
// Usage: core_bench [lines=200000] [repeats=5] [steps=20]
// The merge steps are the first `steps` ones, which touch the most entries.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/entry_index.hpp"
#include "core/stats_fold.hpp"
#include "core/select.hpp"
#include "core/trainer.hpp"

using namespace zelkor;
using Clock = std::chrono::steady_clock;

namespace {

// Lines of Zipf-distributed words over a generated vocabulary of 20,000 words.
std::vector<std::string> synthetic_corpus(size_t lines, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  std::uniform_int_distribution<int> letter('a', 'z'), length(1, 9);
  for (int w = 0; w < 20000; ++w) {
    std::string word;
    for (int i = length(rng); i > 0; --i) word.push_back(static_cast<char>(letter(rng)));
    words.push_back(word);
  }
  std::vector<double> weights(words.size());
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 / static_cast<double>(i + 1);
  std::discrete_distribution<size_t> zipf(weights.begin(), weights.end());
  std::uniform_int_distribution<int> line_words(3, 20);
  std::vector<std::string> corpus;
  corpus.reserve(lines);
  for (size_t l = 0; l < lines; ++l) {
    std::string line;
    for (int i = line_words(rng); i > 0; --i) {
      if (!line.empty()) line.push_back(' ');
      line += words[zipf(rng)];
    }
    corpus.push_back(std::move(line));
  }
  return corpus;
}

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Summary {
  double min, median, max;
};
Summary summarize(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}
void report(const char* what, const std::vector<double>& runs, double scale, const char* unit) {
  Summary s = summarize(runs);
  std::printf("%-28s median %9.3f %s  (min %.3f, max %.3f, n=%zu)\n", what, s.median * scale,
              unit, s.min * scale, s.max * scale, runs.size());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("LOG_LEVEL", "error", 1);
  const size_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const int steps = argc > 3 ? std::atoi(argv[3]) : 20;
  const auto corpus = synthetic_corpus(lines, 1);
  size_t bytes = 0;
  for (const auto& l : corpus) bytes += l.size() + 1;
  std::printf("corpus: %zu lines, %.1f MB, n_values 2..6, default pool of %d threads\n", lines,
              static_cast<double>(bytes) / 1e6, default_pool_threads());

  std::vector<double> counting, recount, select_scan, merge_step;
  for (int r = 0; r < repeats; ++r) {
    Zelkor trainer;
    trainer.config.aim_token_num = 0;
    auto t = Clock::now();
    trainer.build_vocab(corpus);
    counting.push_back(seconds(t));

    t = Clock::now();
    trainer.stats = trainer.compute_stats_full();
    recount.push_back(seconds(t));

    EntryIndex index(std::move(trainer.entries), &trainer.interner);
    for (int s = 0; s < steps; ++s) {
      t = Clock::now();
      auto best = select_best_candidate(trainer.stats, CandidateFilter(trainer.config, trainer.interner));
      select_scan.push_back(seconds(t));
      if (!best) break;
      NgramKey key = *best->key;
      std::string text;
      for (uint32_t id : key) text += trainer.interner.id_to_token[id];
      t = Clock::now();
      trainer.apply_merge(key, trainer.interner.intern(text), index, nullptr, HeapOffers{});
      merge_step.push_back(seconds(t));
    }
    trainer.entries = std::move(index).release();
    if (r == 0) {
      std::printf("entries %zu, statistics keys %zu\n", trainer.entries.size(), trainer.stats.size());
    }
  }
  report("count corpus (build_vocab)", counting, 1, "s ");
  report("full recount", recount, 1, "s ");
  report("best-candidate scan", select_scan, 1e3, "ms");
  report("merge application", merge_step, 1e3, "ms");
  return 0;
}
