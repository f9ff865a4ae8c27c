// The parallel fold of bucket diffs against the serial fold, bucket after bucket, on batches big
// enough to take the parallel road and small ones that stay serial. Keys repeat across buckets
// (as they do across workers) so the order of each key's changes matters.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/stats.hpp"
#include "multiproc/diff_fold.hpp"

namespace zelkor::mp {
namespace {

std::map<NgramKey, Stat> as_table(const GlobalStats& stats) {
  std::map<NgramKey, Stat> out;
  stats.for_each([&](const NgramKey& key, const Stat& stat) { out.emplace(key, stat); });
  return out;
}

StatsMap random_map(std::mt19937& rng, size_t size) {
  StatsMap map;
  std::uniform_int_distribution<uint32_t> id(0, 60), freq(0, 4);
  while (map.size() < size) {
    NgramKey key{id(rng), id(rng)};
    const uint32_t f = freq(rng);
    map[key] = Stat{f, uint64_t{f} * 2};
  }
  return map;
}

TEST(DiffFold, EqualsTheSerialFoldBucketByBucket) {
  for (const size_t per_map : {5, 1800}) {  // 16 buckets of 1,800 + 1,800: past the parallel threshold
    for (const FoldRule rule : {FoldRule::Exact, FoldRule::Owned}) {
      std::mt19937 rng(per_map + static_cast<int>(rule));
      GlobalStats start;
      merge_stats_into(start, random_map(rng, 3000));
      std::vector<BucketDiff> diffs(16);
      for (BucketDiff& diff : diffs) {
        diff.old_stats = random_map(rng, per_map);
        diff.new_stats = random_map(rng, per_map);
      }
      GlobalStats expected = start, folded = start;
      for (const BucketDiff& diff : diffs) {
        if (rule == FoldRule::Exact) {
          accumulate_stats(expected, diff.old_stats, 1, false, true);
          accumulate_stats(expected, diff.new_stats, 1, true, true);
        } else {
          accumulate_stats_owned(expected, StatsMap(diff.old_stats), 1, false);
          accumulate_stats_owned(expected, StatsMap(diff.new_stats), 1, true);
        }
      }
      fold_bucket_diffs(folded, diffs, rule);
      EXPECT_EQ(as_table(folded), as_table(expected)) << per_map << " " << static_cast<int>(rule);
    }
  }
}

}  // namespace
}  // namespace zelkor::mp
