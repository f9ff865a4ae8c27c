// CandidateHeap: the best admissible key without scanning the statistics. Entries are refreshed
// lazily: a change to a key's statistics never searches the heap, it only pushes a new entry
// (when the key is offered); stale entries are refreshed or dropped when they reach the top. So
// an entry's score may be higher than the key's current one but, as long as every rise is
// offered, never lower, and the first entry that comes out with its current score is the best
// admissible key. Tested by select_test.cpp.
#pragma once

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/select.hpp"

namespace zelkor {

// Used from one thread at a time; `stats` and `filter` are those the selection runs over.
class CandidateHeap {
 public:
  // Offers `key` with its current statistics; a no-op unless it is admissible now.
  void push(const NgramKey& key, const GlobalStats& stats, const CandidateFilter& filter);
  // Refills the heap with every admissible key of `stats`, ordered once.
  void rebuild(const GlobalStats& stats, const CandidateFilter& filter);
  // The best admissible key with a copy of its current statistics; nothing when no admissible
  // entry is left.
  std::optional<std::pair<NgramKey, Stat>> pop_best(const GlobalStats& stats,
                                                    const CandidateFilter& filter);

  void clear() { items_.clear(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  // The entries in heap order (the best first).
  std::span<const Candidate> items() const { return items_; }

 private:
  std::vector<Candidate> items_;  // a max-heap under candidate_less
};

}  // namespace zelkor
