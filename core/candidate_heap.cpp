// The lazily refreshed candidate heap.
#include "core/candidate_heap.hpp"

#include <algorithm>

namespace zelkor {

void CandidateHeap::push(const NgramKey& key, const GlobalStats& stats,
                         const CandidateFilter& filter) {
  const Stat* stat = stats.find(key);
  if (stat == nullptr || !filter.admits(key, *stat)) return;
  items_.push_back(Candidate{key, stat->score, key.size()});
  std::push_heap(items_.begin(), items_.end(), candidate_less);
}

void CandidateHeap::rebuild(const GlobalStats& stats, const CandidateFilter& filter) {
  items_.clear();
  stats.for_each([&](const NgramKey& key, const Stat& stat) {
    if (filter.admits(key, stat)) items_.push_back(Candidate{key, stat.score, key.size()});
  });
  std::make_heap(items_.begin(), items_.end(), candidate_less);
}

std::optional<std::pair<NgramKey, Stat>> CandidateHeap::pop_best(const GlobalStats& stats,
                                                                 const CandidateFilter& filter) {
  while (!items_.empty()) {
    std::pop_heap(items_.begin(), items_.end(), candidate_less);
    Candidate& top = items_.back();
    const Stat* stat = stats.find(top.key);
    if (stat == nullptr || stat->freq < 2) {
      items_.pop_back();
      continue;
    }
    if (stat->score != top.score) {
      // Stale: put it back at its current score; the filter waits until it tops the heap.
      top.score = stat->score;
      std::push_heap(items_.begin(), items_.end(), candidate_less);
      continue;
    }
    if (!filter.passes(top.key)) {
      items_.pop_back();
      continue;
    }
    std::pair<NgramKey, Stat> best{std::move(top.key), *stat};
    items_.pop_back();
    return best;
  }
  return std::nullopt;
}

}  // namespace zelkor
