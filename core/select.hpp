// Candidate selection: the candidate order, the admissibility of a key, and the parallel scan of
// a statistics map for the best admissible n-gram. The heap that returns the same choice without
// scanning is in candidate_heap.hpp. Tested by select_test.cpp.
#pragma once

#include <cstdint>
#include <optional>

#include "core/config.hpp"
#include "core/interner.hpp"
#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {

// The candidate order: higher score, then longer key, then the lexicographically greater key.
// True when `a` ranks below `b` (so std heap algorithms build a max-heap).
inline bool candidate_less(const Candidate& a, const Candidate& b) {
  if (a.score != b.score) return a.score < b.score;
  if (a.len != b.len) return a.len < b.len;
  return a.key < b.key;
}

// Which keys may be selected now: frequency at least 2 and the candidate filter of `config` over
// `interner` at its current vocabulary size. Valid while the interner does not grow.
class CandidateFilter {
 public:
  CandidateFilter(const TrainConfig& config, const Interner& interner);

  // The filter alone, without the frequency.
  bool passes(const NgramKey& key) const;
  bool admits(const NgramKey& key, const Stat& stat) const { return stat.freq >= 2 && passes(key); }

 private:
  const TrainConfig& config_;
  const Interner& interner_;
  uint64_t vocab_size_;
};

// A (key, statistics) pair pointing into a statistics map.
struct StatRef {
  const NgramKey* key;
  const Stat* stat;
};

// The better of two pairs by the same order on (Stat.score, key length, key); on a full tie
// the first argument is kept.
inline const StatRef& better_ref(const StatRef& a, const StatRef& b) {
  if (a.stat->score != b.stat->score) return a.stat->score > b.stat->score ? a : b;
  if (a.key->size() != b.key->size()) return a.key->size() > b.key->size() ? a : b;
  return *b.key > *a.key ? b : a;
}

// The best admissible pair of `stats`, scanned one shard per task on the calling thread's pool.
// The pointers stay valid until the statistics change.
std::optional<StatRef> select_best_candidate(const GlobalStats& stats, const CandidateFilter& filter);

}  // namespace zelkor
