// Zelkor: the trainer value of one training call (sequences, merges, configuration, statistics,
// vocabulary, candidate heap) and the operations on it. Owned by one call; touched only by the
// driving thread between parallel sections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/interner.hpp"
#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {

struct Zelkor {
  std::vector<SeqEntry> entries;  // distinct token vectors with their counts
  std::vector<MergeRule> merges;  // in step order
  TrainConfig config;
  GlobalStats stats;              // global n-gram statistics of `entries`
  Interner interner;
  std::vector<Candidate> heap;    // max-heap under candidate_less; empty in scan mode
  uint64_t total_chars = 0;       // scalar values of the kept corpus text

  // Normalisation (normalize.cpp): every word of `text` (runs of non-White_Space characters)
  // followed by U+0120. The two forms agree element by element. Neither fails.
  static std::vector<std::string> encode_sentence_str(std::string_view text);
  static std::vector<char32_t> normalize_chars(std::string_view text);

  // Candidate heap (select.cpp). Call only from the driving thread.
  // Offers `key` with its current statistics; a no-op unless it is admissible now.
  void push_candidate(const NgramKey& key);
  // Refills the heap with every admissible key of `stats`, ordered once.
  void rebuild_heap();
  // The best admissible key with a copy of its current statistics, refreshing stale entries
  // lazily; nothing when no admissible entry is left.
  std::optional<std::pair<NgramKey, Stat>> pop_best_from_heap();
};

}  // namespace zelkor
