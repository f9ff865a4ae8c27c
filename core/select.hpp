// Candidate selection: the candidate order, and the parallel scan of the statistics for the
// best admissible n-gram. The heap operations are members of Zelkor (trainer.hpp).
// Tested by select_test.cpp.
#pragma once

#include <optional>

#include "core/trainer.hpp"

namespace zelkor {

// The candidate order: higher score, then longer key, then the lexicographically greater key.
// True when `a` ranks below `b` (so std heap algorithms build a max-heap).
inline bool candidate_less(const Candidate& a, const Candidate& b) {
  if (a.score != b.score) return a.score < b.score;
  if (a.len != b.len) return a.len < b.len;
  return a.key < b.key;
}

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

// True when the key may be selected now: frequency at least 2 and the candidate filter passes.
bool is_admissible(const Zelkor& trainer, const NgramKey& key, const Stat& stat,
                   uint64_t vocab_size);

// The best admissible pair of trainer.stats, scanned in parallel on the default pool (whatever
// num_workers says). The pointers stay valid until the statistics change.
std::optional<StatRef> select_best_candidate(const Zelkor& trainer);

}  // namespace zelkor
