// A deliberately simple model of one incremental merge step, used by the tests to predict the
// trainer's statistics and sequences: brute-force window scans and the fold rules, no shortcuts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

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
  // entries in canonical form.
  std::vector<SeqEntry> step(const std::vector<SeqEntry>& entries, const NgramKey& parts,
                             uint32_t new_id);

  // The key the trainer must pick when no filter applies: freq >= 2, then the highest score,
  // the longest key, the greatest key.
  std::optional<std::pair<NgramKey, Stat>> best() const;

  const StatsTable& stats() const { return stats_; }

 private:
  StatsTable stats_;
  std::vector<uint64_t> n_values_;
};

}  // namespace zelkor::testing
