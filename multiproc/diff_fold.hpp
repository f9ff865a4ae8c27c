// Folds a batch of bucket diffs into the statistics, one task per statistics shard. Every key's
// changes are applied in the batch's order, old before new within a bucket, exactly as a serial
// fold applies them (a key can sit in several buckets of one step: each worker hashes with its own
// seed), so the result does not depend on the threads.
#pragma once

#include <span>

#include "core/stats_map.hpp"
#include "multiproc/bucket_readers.hpp"

namespace zelkor::mp {

enum class FoldRule {
  Exact,  // subtract old (saturating), add new, erase keys left at 0 or 1
  Owned,  // the owned fold: gains of 0 or 1 dropped, keys left below 2 erased
};

void fold_bucket_diffs(GlobalStats& stats, std::span<const BucketDiff> diffs, FoldRule rule);

}  // namespace zelkor::mp
