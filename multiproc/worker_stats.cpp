// The worker statistics pass. The entries are cut into chunks counted in parallel on the
// worker's pool; each sequence's windows are counted into a local map, weighted by its count with
// keys of weighted count 0 or 1 dropped (so a window seen once in a sequence of count 1 adds
// nothing), and the partial maps are combined by plain wrapping sums.
#include <atomic>
#include <chrono>

#include <tbb/blocked_range.h>

#include "core/ceil_div.hpp"
#include "core/log.hpp"
#include "core/reduce.hpp"
#include "core/stats.hpp"
#include "core/windows.hpp"
#include "multiproc/worker_state.hpp"

namespace zelkor::mp {
namespace {

// One sequence's contribution, added into `chunk`.
void add_sequence(IdSpan tokens, uint32_t freq, std::span<const uint64_t> n_values,
                  StatsMap& local, StatsMap& chunk) {
  local.clear();
  for_each_window(tokens, n_values, [&](IdSpan window, uint64_t n) {
    Stat& stat = stat_slot(local, window);
    stat.freq += 1;
    stat.score += n - 1;
  });
  StatsMap weighted;
  accumulate_stats(weighted, local, freq, true, true);
  merge_stats_into(chunk, std::move(weighted));
}

}  // namespace

StatsMap WorkerState::compute_stats() const {
  const auto start = std::chrono::steady_clock::now();
  // The entries are those Init gave, or after a merge the live entries of the index.
  const std::vector<uint32_t> numbers = index_ ? index_->live_entry_numbers() : std::vector<uint32_t>{};
  const size_t count = entry_count();
  const uint64_t threads = worker_threads();
  const uint64_t chunk = worker_chunk(count, threads);
  const uint64_t total = ceil_div(count, chunk);
  log_at(3, "worker", "stats start entries={} threads={} chunk={}", count, threads, chunk);
  std::atomic<uint64_t> counter{0};
  StatsMap result = worker_pool().run([&] {
    return reduce_moving<StatsMap>(
        tbb::blocked_range<uint64_t>(0, total, 1),
        [&](const tbb::blocked_range<uint64_t>& chunks, StatsMap& acc) {
          StatsMap local;
          TokenIds tokens;
          for (uint64_t c = chunks.begin(); c != chunks.end(); ++c) {
            const uint64_t done = counter.fetch_add(1) + 1;
            if (done == 1 || done % 4 == 0 || done == total) {
              log_at(3, "worker", "stats progress {}/{} elapsed={:.2f}s", done, total,
                     elapsed_seconds(start));
            }
            StatsMap chunk_map;
            const uint64_t end = std::min<uint64_t>(count, (c + 1) * chunk);
            for (uint64_t e = c * chunk; e < end; ++e) {
              if (index_) {
                index_->copy_tokens(numbers[e], tokens);
                add_sequence(tokens, index_->freq(numbers[e]), n_values_, local, chunk_map);
              } else {
                add_sequence(entries_[e].tokens, entries_[e].freq, n_values_, local, chunk_map);
              }
            }
            merge_stats_into(acc, std::move(chunk_map));
          }
        },
        [](StatsMap& left, StatsMap&& right) { merge_stats_into(left, std::move(right)); });
  });
  log_at(3, "worker", "stats done entries={} keys={} elapsed={:.2f}s", count, result.size(),
         elapsed_seconds(start));
  return result;
}

}  // namespace zelkor::mp
