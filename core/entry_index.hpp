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
#include <absl/container/flat_hash_set.h>

#include "core/interner.hpp"
#include "core/table.hpp"
#include "core/types.hpp"

namespace zelkor {

// Owns the sequences for one training loop (or one standalone merge): it takes them in, keeps
// their token vectors as its slots, and hands them back by release().
// When the occurrence lists of an EntryIndex are rebuilt: once their places (stale ones
// included) exceed `per_token` places per live token plus `slack`.
struct ListLimits {
  size_t per_token = 2;
  size_t slack = size_t{1} << 20;
};

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

  // Takes `entries`, merging equal ones (counts wrap at 2^32). With `interner`, checks whether
  // every entry spells a distinct text: then no merge whose new id spells the concatenation of
  // its parts can make two entries equal (the tokens of an entry always spell its text), and
  // steps need no regrouping. Otherwise the index keeps its entries by content, so that a step
  // merges each rewritten entry into an equal one without looking at the others.
  explicit EntryIndex(std::vector<SeqEntry>&& entries, const Interner* interner = nullptr,
                      ListLimits limits = {});
  EntryIndex(const EntryIndex&) = delete;
  EntryIndex& operator=(const EntryIndex&) = delete;

  // Whether a step can make two entries equal (then detach() and reattach() its entries).
  bool entries_may_collide() const { return may_collide_; }

  // A pair of adjacent ids as one value.
  static uint64_t pair_of(uint32_t a, uint32_t b) { return uint64_t{a} << 32 | b; }

  // The first slots of the occurrences of `parts` that a greedy left-to-right rewrite of each
  // entry replaces, ascending. Also sets `pair` to the pair whose list they were found in
  // (UINT64_MAX for a one-id key, which scans every entry) and `others` to the places in that
  // list which hold the pair outside the matches (hand them to relist() after the rewrite).
  std::vector<Place> matches(IdSpan parts, uint64_t& pair, std::vector<Place>& others);

  uint32_t id(Place p) const { return slots_[p.entry][p.slot]; }
  // The count of entry `e`.
  uint32_t freq(uint32_t e) const { return freqs_[e]; }
  // The place of the next / previous token of the entry, or slot NONE.
  Place next(Place p) const;
  Place prev(Place p) const;

  // Replaces the `k` tokens from `p` by one token `new_id`. Safe in parallel for distinct entries.
  void merge_at(Place p, size_t k, uint32_t new_id);
  // After a step that replaced `removed` tokens: rebuilds the occurrence lists once they pass
  // their limits, so they stay within a small multiple of the live tokens.
  void after_step(size_t removed);
  // Lists an occurrence of `pair` at `p` (the place of its first token). Not thread-safe.
  void list_pair(uint64_t pair, Place p);
  // Replaces the list of `pair` by those of `others` (ascending) that still hold it.
  void relist(uint64_t pair, std::vector<Place> others);

  // Around a step that rewrites entry `e`: detach it before its tokens change, reattach it after.
  // Reattaching merges it with an equal entry (counts wrap; the lower entry number stays).
  // No-ops when entries cannot collide. Not thread-safe.
  void detach(uint32_t e);
  void reattach(uint32_t e);
  // Entries not merged into another, and their numbers in order.
  size_t live_entries() const { return live_entries_; }
  std::vector<uint32_t> live_entry_numbers() const;
  // The tokens of entry `e` into `out` (replacing its contents).
  void copy_tokens(uint32_t e, TokenIds& out) const;
  // A copy of the entries as they stand (for checks against a recount).
  std::vector<SeqEntry> snapshot() const;
  // Hands the entries back, in index order; the index is spent.
  std::vector<SeqEntry> release() &&;

  // Places in the occurrence lists (live or stale), and tokens in the entries.
  size_t listed_places() const { return listed_; }
  size_t live_tokens() const { return live_tokens_; }

 private:
  void build(std::vector<SeqEntry>&& entries);
  void list_all_pairs();
  bool holds(uint64_t pair, Place p) const;
  void index_contents();
  uint64_t content_hash(uint32_t e) const;
  bool same_content(uint32_t a, uint32_t b) const;

  // Entries by content (when they may collide); hash and equality look at the live tokens.
  struct ByContent {
    const EntryIndex* index;
    size_t operator()(uint32_t e) const { return index->hashes_[e]; }
  };
  struct SameContent {
    const EntryIndex* index;
    bool operator()(uint32_t a, uint32_t b) const { return index->same_content(a, b); }
  };

  std::vector<TokenIds> slots_;  // per entry: the token starting at each slot, or NONE
  std::vector<uint32_t> freqs_;  // per entry: its count
  Table<absl::flat_hash_map<uint64_t, std::vector<Place>>> postings_;  // pair -> places (maybe stale)
  ListLimits limits_;
  size_t listed_ = 0;       // places in postings_
  size_t live_tokens_ = 0;  // tokens in slots_
  size_t live_entries_ = 0;
  bool may_collide_ = true;
  std::vector<uint8_t> dead_;     // per entry: merged into another
  std::vector<uint64_t> hashes_;  // per entry: content hash when attached
  SeededHash hasher_;
  absl::flat_hash_set<uint32_t, ByContent, SameContent> by_content_{0, ByContent{this},
                                                                   SameContent{this}};
};

}  // namespace zelkor
