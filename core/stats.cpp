// The full statistics recount, one task per group of shards; each key is counted in entry order
// by the one task that owns its shard.
#include "core/stats.hpp"

#include <algorithm>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "core/windows.hpp"

namespace zelkor {

GlobalStats count_stats(std::span<const SeqEntry> entries, std::span<const uint64_t> n_values) {
  GlobalStats result;
  // One task per group of shards, each scanning every window and counting those that route
  // to its shards: no key is held twice, so the peak is the result itself (per-thread
  // partials would hold every common n-gram once per thread).
  const size_t groups = std::clamp<size_t>(
      static_cast<size_t>(tbb::this_task_arena::max_concurrency()), 1, GlobalStats::SHARDS);
  tbb::parallel_for(size_t{0}, groups, [&](size_t group) {
    for (const SeqEntry& entry : entries) {
      const uint32_t freq = entry.freq;
      for_each_window(entry.tokens, n_values, [&](IdSpan window, uint64_t n) {
        const PrehashedIds key(window);
        const size_t shard = result.shard_index(key);
        if (shard * groups / GlobalStats::SHARDS != group) return;
        Stat& stat = stat_slot(result.shard(shard), key);
        stat.freq += freq;
        stat.score += uint64_t{freq} * (n - 1);
      });
    }
  });
  return result;
}

}  // namespace zelkor
