// The values every training path shares: n-gram keys, counted sequences, statistics, heap
// candidates and merge records. Tested by types_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "core/hash.hpp"

namespace zelkor {

// Ids a key holds inline: the default longest n-gram.
inline constexpr size_t NGRAM_INLINE_IDS = 6;

// A run of token ids: inline up to six ids (the default longest n-gram; 32 bytes, which keeps the
// statistics map's slots small), on the heap beyond. Ordered lexicographically by
// id (a proper prefix is smaller); hashed with the seed of the map that holds it.
using NgramKey = absl::InlinedVector<uint32_t, NGRAM_INLINE_IDS>;

// Statistics of one n-gram: occurrences weighted by sequence count, and the tokens the corpus
// would lose if the n-gram became one token.
struct Stat {
  uint32_t freq = 0;
  uint64_t score = 0;
  bool operator==(const Stat&) const = default;
};

using StatsMap = Table<absl::flat_hash_map<NgramKey, Stat, SeededHash, IdsEq>>;

// The entry of `ids` in `map`, inserted with `initial` when absent (`inserted` tells); builds a
// key only on insert.
template <typename Ids>
StatsMap::iterator stat_entry(StatsMap& map, const Ids& ids, const Stat& initial, bool& inserted) {
  inserted = false;
  if (ids.size() > NGRAM_INLINE_IDS) {
    // A longer key allocates, which a lazy_emplace constructor must not (table.hpp).
    if (auto it = map.find(ids); it != map.end()) return it;
    inserted = true;
    return map.try_emplace(NgramKey(ids.data(), ids.data() + ids.size()), initial).first;
  }
  return map.lazy_emplace(ids, [&](const StatsMap::constructor& construct) {
    construct(NgramKey(ids.data(), ids.data() + ids.size()), initial);
    inserted = true;
  });
}

// The statistics of `ids` in `map`, inserted as zero when absent.
template <typename Ids>
Stat& stat_slot(StatsMap& map, const Ids& ids) {
  bool inserted;
  return stat_entry(map, ids, Stat{}, inserted)->second;
}

// One distinct token sequence of the corpus with its number of occurrences.
struct SeqEntry {
  TokenIds tokens;
  uint32_t freq = 0;
  bool operator==(const SeqEntry&) const = default;
};

// An entry of the candidate max-heap; `score` is the key's score when pushed (may be stale).
struct Candidate {
  NgramKey key;
  uint64_t score = 0;
  uint64_t len = 0;
};

// One performed merge, recorded in step order.
struct MergeRule {
  std::vector<std::string> parts;  // texts of the merged ids, in key order
  std::string merged;              // their concatenation
  uint64_t score = 0;              // Stat.score at selection
  uint32_t freq = 0;               // Stat.freq at selection
};

// "SeqEntry { tokens: [4, 7], freq: 2 }" and "Stat { freq: 3, score: 3 }".
std::string debug_string(const SeqEntry& entry);
std::string debug_string(const Stat& stat);

}  // namespace zelkor
