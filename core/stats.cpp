// The full statistics recount. Each task counts the windows of its entries into a per-thread
// partial map split into the same shards as the result; the partials are then merged shard by
// shard in parallel. Wrap-around addition commutes, so the split does not change the result.
#include <chrono>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "core/debug_fmt.hpp"
#include "core/log.hpp"
#include "core/pool.hpp"
#include "core/trainer.hpp"

namespace zelkor {
namespace {

// Moves every key of `from` into `into`, adding both fields with wrap-around.
void merge_stats(StatsMap& into, StatsMap&& from) {
  if (from.size() > into.size()) std::swap(into, from);
  for (auto& [key, stat] : from) {
    Stat& slot = stat_slot(into, key);
    slot.freq += stat.freq;
    slot.score += stat.score;
  }
  StatsMap released = std::move(from);
}

}  // namespace

GlobalStats Zelkor::compute_stats_full() const {
  const std::vector<uint64_t> n_values = config.n_values;
  return run_with_workers(config.num_workers, "build pool", [&] {
    GlobalStats result;
    tbb::enumerable_thread_specific<GlobalStats> partials(
        [&] { return GlobalStats::routed_like(result); });
    tbb::parallel_for(tbb::blocked_range<size_t>(0, entries.size()),
                      [&](const tbb::blocked_range<size_t>& range) {
                        GlobalStats& local = partials.local();
                        for (size_t e = range.begin(); e != range.end(); ++e) {
                          const SeqEntry& entry = entries[e];
                          const size_t len = entry.tokens.size();
                          for (uint64_t n : n_values) {
                            if (n > len) continue;
                            const uint64_t gain = uint64_t{entry.freq} * (n - 1);
                            for (size_t s = 0; s + n <= len; ++s) {
                              Stat& stat = local[IdSpan(entry.tokens.data() + s, n)];
                              stat.freq += entry.freq;
                              stat.score += gain;
                            }
                          }
                        }
                      });
    tbb::parallel_for(size_t{0}, GlobalStats::SHARDS, [&](size_t s) {
      for (GlobalStats& partial : partials) merge_stats(result.shard(s), std::move(partial.shard(s)));
    });
    return result;
  });
}

void Zelkor::rebuild_global_stats() {
  const auto start = std::chrono::steady_clock::now();
  log_at(2, "stats", "rebuild_global_stats start entries={} n_values={} num_workers={}",
         entries.size(), debug_list(config.n_values), config.num_workers);
  stats = compute_stats_full();
  log_at(2, "stats", "rebuild_global_stats done keys={} elapsed={:.2f}s", stats.size(),
         elapsed_seconds(start));
  if (config.use_heap && !config.recompute_each_step) {
    rebuild_heap();
  } else {
    heap.clear();
  }
}

}  // namespace zelkor
