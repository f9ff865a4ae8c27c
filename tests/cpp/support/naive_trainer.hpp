// A deliberately simple model of the trainer for the tests: brute-force window scans, the fold
// rules of one incremental merge step, the best-candidate rule, and a plain lazy candidate heap.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/select.hpp"
#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor::testing {

// Statistics in key order, for comparisons with readable failures.
using StatsTable = std::map<NgramKey, Stat>;
StatsTable to_table(const GlobalStats& stats);
StatsTable to_table(const StatsMap& stats);

// Unweighted counts of the windows of `seq` that overlap [p, p + k) for some p of `spans`.
StatsTable overlapping_windows(const TokenIds& seq, const std::vector<uint64_t>& spans,
                               uint64_t k, std::span<const uint64_t> n_values);

// The greedy left-to-right rewrite of `seq` at the matches of `parts` into `new_id`, with the
// match starts in `seq` and the new id's positions in the result.
TokenIds rewrite(const TokenIds& seq, std::span<const uint32_t> parts, uint32_t new_id,
                 std::vector<uint64_t>& matches, std::vector<uint64_t>& placed);

// Every window of every entry, weighted by the entry's count (freq wrapping at 2^32).
StatsTable count_all_windows(const std::vector<SeqEntry>& entries,
                             std::span<const uint64_t> n_values);

// The entries sorted by token vector, equal vectors merged (counts wrap at 2^32).
std::vector<SeqEntry> canonical(std::vector<SeqEntry> entries);

struct NaiveTrainer {
  // Replaces `parts` by `new_id` in every entry (greedy, left to right, no overlap), folds each
  // entry's lost and gained windows in the order of `entries`, and returns the rewritten
  // entries in canonical form. `offer` sees each lost key before its subtraction and each
  // gained key after its addition (what heap mode offers to its heap).
  std::vector<SeqEntry> step(const std::vector<SeqEntry>& entries, const NgramKey& parts,
                             uint32_t new_id,
                             const std::function<void(const NgramKey&)>& offer = {});
  // The full-scan pick: admitted by `filter`, then the highest score, longest key, greatest key.
  std::optional<std::pair<NgramKey, Stat>> best(const CandidateFilter& filter) const;

  StatsTable stats;  // of the entries, as folded step by step
  std::vector<uint64_t> n_values;
};

// An offered key is pushed with its current score when admissible; at the top, a missing key (or
// one below frequency 2) is dropped, a stale score is refreshed and pushed back, and a key the
// filter rejects is dropped until it is offered again.
struct NaiveHeap {
  void push(const NgramKey& key, const StatsTable& stats, const CandidateFilter& filter);
  std::optional<std::pair<NgramKey, Stat>> pop(const StatsTable& stats,
                                               const CandidateFilter& filter);
  std::multiset<std::tuple<uint64_t, size_t, NgramKey>> items_;  // score, length, key
};

}  // namespace zelkor::testing
