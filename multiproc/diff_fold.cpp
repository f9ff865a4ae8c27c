#include "multiproc/diff_fold.hpp"

#include <tbb/parallel_for.h>

#include <array>
#include <vector>

#include "core/stats.hpp"

namespace zelkor::mp {
namespace {

constexpr size_t SHARDS = GlobalStats::SHARDS;
constexpr size_t PARALLEL_FROM = 16384;  // changes in a batch

// One change of one key, as the fold reads it.
struct Change {
  const NgramKey* key;
  const Stat* stat;
};

// A map's changes grouped by statistics shard, each group in the map's iteration order.
struct ShardedChanges {
  std::vector<Change> changes;
  std::array<uint32_t, SHARDS + 1> starts{};

  std::span<const Change> shard(size_t s) const {
    return std::span(changes).subspan(starts[s], starts[s + 1] - starts[s]);
  }
};

ShardedChanges group_by_shard(const GlobalStats& stats, const StatsMap& map) {
  ShardedChanges out;
  std::vector<uint8_t> shard_of;
  shard_of.reserve(map.size());
  for (const auto& entry : map) {
    const size_t s = stats.shard_index(entry.first);
    shard_of.push_back(static_cast<uint8_t>(s));
    ++out.starts[s + 1];
  }
  for (size_t s = 0; s < SHARDS; ++s) out.starts[s + 1] += out.starts[s];
  std::array<uint32_t, SHARDS> next;
  std::copy(out.starts.begin(), out.starts.end() - 1, next.begin());
  out.changes.resize(map.size());
  size_t i = 0;
  for (const auto& [key, stat] : map) out.changes[next[shard_of[i++]]++] = Change{&key, &stat};
  return out;
}

void fold_one(StatsMap& shard, const NgramKey& key, const Stat& stat, FoldRule rule, bool add) {
  if (rule == FoldRule::Owned) {
    fold_owned_key(shard, key, stat, 1, add);
  } else {
    fold_exact_key(shard, key, stat, 1, add, true);
  }
}

void fold_shard(StatsMap& shard, std::span<const Change> changes, FoldRule rule, bool add) {
  for (const Change& c : changes) fold_one(shard, *c.key, *c.stat, rule, add);
}

}  // namespace

void fold_bucket_diffs(GlobalStats& stats, std::span<const BucketDiff> diffs, FoldRule rule) {
  size_t changes = 0;
  for (const BucketDiff& diff : diffs) changes += diff.old_stats.size() + diff.new_stats.size();
  if (changes < PARALLEL_FROM) {
    // Most steps are small: waking the pool's threads would cost more than the fold, and their
    // spinning takes processors from the workers.
    for (const BucketDiff& diff : diffs) {
      for (const auto& [key, stat] : diff.old_stats) fold_one(stats.shard_for(key), key, stat, rule, false);
      for (const auto& [key, stat] : diff.new_stats) fold_one(stats.shard_for(key), key, stat, rule, true);
    }
    return;
  }
  std::vector<ShardedChanges> old_changes(diffs.size()), new_changes(diffs.size());
  tbb::parallel_for(size_t{0}, diffs.size(), [&](size_t d) {
    old_changes[d] = group_by_shard(stats, diffs[d].old_stats);
    new_changes[d] = group_by_shard(stats, diffs[d].new_stats);
  });
  tbb::parallel_for(size_t{0}, SHARDS, [&](size_t s) {
    for (size_t d = 0; d < diffs.size(); ++d) {
      fold_shard(stats.shard(s), old_changes[d].shard(s), rule, false);
      fold_shard(stats.shard(s), new_changes[d].shard(s), rule, true);
    }
  });
}

}  // namespace zelkor::mp
