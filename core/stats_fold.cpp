// The single-process fold of a step's window changes. Keys of different shards never interact,
// so a batch's changes are first sorted into per-shard lists (blocks of runs in parallel, entry
// order kept inside each list); every shard then folds its lists in block order on its own task.
#include "core/stats_fold.hpp"

#include <array>
#include <vector>

#include "core/stats.hpp"
#include "core/table.hpp"

namespace zelkor {
namespace {

using ShardLists = std::array<std::vector<WindowChange>, GlobalStats::SHARDS>;

}  // namespace

void StatsFold::take(const ChangeBatch& batch) {
  const size_t block_count = batch.serial ? 1 : batch.runs.size();
  std::vector<ShardLists> blocks(block_count);
  batch.for_each_task(block_count, [&](size_t b) {
    for (size_t r = b; r < batch.runs.size(); r += block_count) {
      batch.runs[r].for_each_change([&](const WindowChange& change) {
        blocks[b][stats_.shard_index(change.ids())].push_back(change);
      });
    }
  });
  batch.for_each_task(GlobalStats::SHARDS, [&](size_t s) {
    StatsMap& shard = stats_.shard(s);
    for (const ShardLists& lists : blocks) {
      for (const WindowChange& change : lists[s]) {
        fold_owned_key(shard, change.ids(), change.unweighted(), change.mult, change.add);
      }
    }
  });
  if (offers_.heap == nullptr) return;
  // A key's score can only have risen through an addition, so offering each touched key once
  // after its batch, with the statistics it has then, keeps an entry at or above every key's
  // current score, which is all the heap's pop needs.
  Table<absl::flat_hash_set<NgramKey, SeededHash, IdsEq>> touched;
  for (const ShardLists& lists : blocks) {
    for (const auto& list : lists) {
      for (const WindowChange& change : list) {
        const bool rose = change.add && uint64_t{change.count} * change.mult >= 2;
        if ((offers_.rising_only && !rose) || touched.contains(change.ids())) continue;
        NgramKey key(change.key, change.key + change.n);
        offers_.heap->push(key, stats_, *offers_.filter);
        touched.insert(std::move(key));
      }
    }
  }
}

void StatsFold::finish(IdSpan parts) {
  // The scan's heap is also offered the merged key itself, whose entry the selection popped.
  if (offers_.heap != nullptr && offers_.rising_only) {
    offers_.heap->push(NgramKey(parts.begin(), parts.end()), stats_, *offers_.filter);
  }
}

}  // namespace zelkor
