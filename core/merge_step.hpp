// One single-process merge step over an EntryIndex: every occurrence of the chosen key rewritten
// to its new id in place, the windows lost and gained folded into the statistics, keys offered
// to a candidate heap, the occurrence lists brought up to date. Tested by merge_test.cpp (against
// the naive model, serial and parallel) and train_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/candidate_heap.hpp"
#include "core/entry_index.hpp"
#include "core/pool.hpp"
#include "core/stats_map.hpp"

namespace zelkor {

// Which keys a step offers to a heap. With no heap, none.
struct HeapOffers {
  CandidateHeap* heap = nullptr;
  const CandidateFilter* filter = nullptr;  // the selection's filter, after the new id's interning
  // The scan's heap needs only the keys whose score rose and the merged key; heap mode offers
  // every key the step touches.
  bool rising_only = false;
};

struct MergeStepConfig {
  std::span<const uint64_t> n_values;
  bool fold = true;            // false: the statistics are left alone (recompute_each_step)
  ThreadPool* pool = nullptr;  // where parallel stages run; null: the calling thread's pool
  size_t serial_below = 512;   // steps with fewer matches run on the calling thread
};

// Rewrites every greedy, non-overlapping occurrence of `parts` (one id or more) in the entries of
// `index` into `new_id`, and folds each rewritten entry's lost and gained windows, weighted by
// its count and in entry order, into `stats` under the owned-fold rules. Call from one thread.
void merge_step(IdSpan parts, uint32_t new_id, const MergeStepConfig& config, EntryIndex& index,
                GlobalStats& stats, const HeapOffers& offers);

}  // namespace zelkor
