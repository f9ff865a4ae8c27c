// A deliberately simple model of one incremental merge step, used by the tests to predict the
// trainer's statistics and sequences: brute-force window scans and the fold rules, no shortcuts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <optional>
#include <span>
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

// Every window of every entry, weighted by the entry's count (freq wrapping at 2^32).
StatsTable count_all_windows(const std::vector<SeqEntry>& entries,
                             std::span<const uint64_t> n_values);

// The entries sorted by token vector, equal vectors merged (counts wrap at 2^32).
std::vector<SeqEntry> canonical(std::vector<SeqEntry> entries);

class NaiveTrainer {
 public:
  NaiveTrainer(StatsTable stats, std::vector<uint64_t> n_values)
      : stats_(std::move(stats)), n_values_(std::move(n_values)) {}

  // Replaces `parts` by `new_id` in every entry (greedy, left to right, no overlap), folds each
  // entry's lost and gained windows in the order of `entries`, and returns the rewritten
  // entries in canonical form. `offer` sees each lost key before its subtraction and each
  // gained key after its addition (what heap mode offers to its heap).
  std::vector<SeqEntry> step(const std::vector<SeqEntry>& entries, const NgramKey& parts,
                             uint32_t new_id,
                             const std::function<void(const NgramKey&)>& offer = {});

  // The key the trainer must pick when no filter applies: freq >= 2, then the highest score,
  // the longest key, the greatest key.
  std::optional<std::pair<NgramKey, Stat>> best() const;

  const StatsTable& stats() const { return stats_; }

 private:
  StatsTable stats_;
  std::vector<uint64_t> n_values_;
};

// A plain candidate heap with lazily refreshed entries: an offered key is pushed with its
// current score when admissible; at the top, an entry of a missing key (or one below frequency
// 2) is dropped, a stale score is refreshed and pushed back, and a key the filter rejects is
// dropped until it is offered again.
class NaiveHeap {
 public:
  void push(const NgramKey& key, const StatsTable& stats, const CandidateFilter& filter);
  std::optional<std::pair<NgramKey, Stat>> pop(const StatsTable& stats,
                                               const CandidateFilter& filter);

 private:
  std::multiset<std::tuple<uint64_t, size_t, NgramKey>> items_;  // score, length, key
};

}  // namespace zelkor::testing
