// EntryIndex: the entries' tokens as slots (one per original token; a merged token keeps its id
// in its first slot and marks the slots of its other parts dead) and, for every pair of adjacent
// ids, where it occurs. A merge step then
// finds its occurrences without scanning the entries that hold them and rewrites each one in
// place, so its cost follows the number of occurrences, not the length of the lines holding
// them. Tested through merge_test.cpp and train_test.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/interner.hpp"
#include "core/types.hpp"

namespace zelkor {

// Lives for one training loop (or one standalone merge) over `entries`, which only this index
// may change meanwhile. It takes the token vectors of `entries` as its slots; sync_entries()
// copies the tokens back, finish() hands the slots back as the tokens.
class EntryIndex {
 public:
  static constexpr uint32_t NONE = UINT32_MAX;  // no slot / a dead slot's id

  // A token's place: its entry and its first slot.
  struct Place {
    uint32_t entry;
    uint32_t slot;
    bool operator==(const Place&) const = default;
    auto operator<=>(const Place&) const = default;
  };

  // Takes the token vectors of `entries`, merging equal ones (counts wrap at 2^32). With
  // `interner`, checks whether every entry spells a distinct text: then no merge whose new id
  // spells the concatenation of its parts can make two entries equal (the tokens of an entry
  // always spell its text), and steps need no regrouping.
  explicit EntryIndex(std::vector<SeqEntry>& entries, const Interner* interner = nullptr);
  EntryIndex(const EntryIndex&) = delete;
  EntryIndex& operator=(const EntryIndex&) = delete;

  // Whether a step can make two entries equal (then regroup() after it).
  bool entries_may_collide() const { return may_collide_; }

  // A pair of adjacent ids as one value.
  static uint64_t pair_of(uint32_t a, uint32_t b) { return uint64_t{a} << 32 | b; }

  // The first slots of the occurrences of `parts` that a greedy left-to-right rewrite of each
  // entry replaces, ascending. Also sets `pair` to the pair whose list they were found in
  // (UINT64_MAX for a one-id key, which scans every entry) and `others` to the places in that
  // list which hold the pair outside the matches (hand them to relist() after the rewrite).
  std::vector<Place> matches(IdSpan parts, uint64_t& pair, std::vector<Place>& others);

  uint32_t id(Place p) const { return slots_[p.entry][p.slot]; }
  // The place of the next / previous token of the entry, or slot NONE.
  Place next(Place p) const;
  Place prev(Place p) const;

  // Replaces the `k` tokens from `p` by one token `new_id`. Safe in parallel for distinct entries.
  void merge_at(Place p, size_t k, uint32_t new_id);
  // After a step that replaced `removed` tokens: rebuilds the occurrence lists once stale places
  // outnumber the live tokens, so the lists stay within a small multiple of the tokens.
  void after_step(size_t removed);
  // Lists an occurrence of `pair` at `p` (the place of its first token). Not thread-safe.
  void list_pair(uint64_t pair, Place p);
  // Replaces the list of `pair` by those of `others` (ascending) that still hold it.
  void relist(uint64_t pair, std::vector<Place> others);

  // Writes the live tokens back into the entries, merges equal ones and reindexes.
  void regroup();
  // Writes the live tokens back into the entries; the index stays usable.
  void sync_entries();
  // Hands the live tokens back to the entries as their token vectors; the index is spent.
  void finish();

 private:
  void build();
  void list_all_pairs();
  bool holds(uint64_t pair, Place p) const;

  std::vector<SeqEntry>& entries_;
  std::vector<TokenIds> slots_;  // per entry: the token starting at each slot, or NONE
  absl::flat_hash_map<uint64_t, std::vector<Place>> postings_;  // pair -> places (maybe stale)
  size_t listed_ = 0;       // places in postings_
  size_t live_tokens_ = 0;  // tokens in slots_
  bool may_collide_ = true;
};

}  // namespace zelkor
