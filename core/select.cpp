// Candidate selection by scan: every shard of the statistics is folded in parallel and the
// shards' best pairs are joined in shard order; keys are unique, so the result does not depend
// on the split.
#include "core/select.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "core/filter.hpp"

namespace zelkor {

CandidateFilter::CandidateFilter(const TrainConfig& config, const Interner& interner)
    : config_(config), interner_(interner), vocab_size_(vocab_size_with_specials(interner)) {}

bool CandidateFilter::passes(const NgramKey& key) const {
  return passes_candidate_filter(key, config_, interner_, vocab_size_);
}

std::optional<StatRef> select_best_candidate(const GlobalStats& stats,
                                             const CandidateFilter& filter) {
  using Best = std::optional<StatRef>;
  auto join = [](const Best& left, const Best& right) -> Best {
    if (!left) return right;
    if (!right) return left;
    return better_ref(*left, *right);
  };
  return tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, GlobalStats::SHARDS, 1), Best{},
      [&](const tbb::blocked_range<size_t>& range, Best best) {
        for (size_t s = range.begin(); s != range.end(); ++s) {
          for (const auto& [key, stat] : stats.shard(s)) {
            if (!filter.admits(key, stat)) continue;
            StatRef here{&key, &stat};
            best = best ? better_ref(*best, here) : here;
          }
        }
        return best;
      },
      join);
}

}  // namespace zelkor
