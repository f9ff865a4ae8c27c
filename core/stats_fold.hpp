// StatsFold: the single-process merge step's sink. Each rewritten entry's lost windows are
// subtracted from the statistics and its gained windows added, weighted by its count, in entry
// order per key (the saturating owned-fold rules make the order matter), and the keys a heap
// needs are offered to it. Tested by merge_test.cpp and train_test.cpp.
#pragma once

#include "core/candidate_heap.hpp"
#include "core/merge_step.hpp"
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

class StatsFold : public ChangeSink {
 public:
  StatsFold(GlobalStats& stats, const HeapOffers& offers) : stats_(stats), offers_(offers) {}
  void take(const ChangeBatch& batch) override;
  void finish(IdSpan parts) override;

 private:
  GlobalStats& stats_;
  HeapOffers offers_;
};

}  // namespace zelkor
