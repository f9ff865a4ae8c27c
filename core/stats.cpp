// The full statistics recount, one task per group of shards; each key is counted in entry order
// by the one task that owns its shard.
#include <chrono>

#include <algorithm>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "core/debug_fmt.hpp"
#include "core/log.hpp"
#include "core/pool.hpp"
#include "core/trainer.hpp"

namespace zelkor {

GlobalStats Zelkor::compute_stats_full() const {
  const std::vector<uint64_t> n_values = config.n_values;
  return run_with_workers(config.num_workers, "build pool", [&] {
    GlobalStats result;
    // One task per group of shards, each scanning every window and counting those that route
    // to its shards: no key is held twice, so the peak is the result itself (per-thread
    // partials would hold every common n-gram once per thread).
    const size_t groups = std::clamp<size_t>(
        static_cast<size_t>(tbb::this_task_arena::max_concurrency()), 1, GlobalStats::SHARDS);
    tbb::parallel_for(size_t{0}, groups, [&](size_t group) {
      for (const SeqEntry& entry : entries) {
        const size_t len = entry.tokens.size();
        for (uint64_t n : n_values) {
          if (n > len) continue;
          const uint64_t gain = uint64_t{entry.freq} * (n - 1);
          for (size_t s = 0; s + n <= len; ++s) {
            const PrehashedIds key(IdSpan(entry.tokens.data() + s, n));
            const size_t shard = result.shard_index(key);
            if (shard * groups / GlobalStats::SHARDS != group) continue;
            Stat& stat = stat_slot(result.shard(shard), key);
            stat.freq += entry.freq;
            stat.score += gain;
          }
        }
      }
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
