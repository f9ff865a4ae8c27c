// EntryIndex: which entries hold each pair of adjacent tokens, and which entry holds each token
// vector, kept up to date across merge steps so that a step touches only the entries that may
// hold its key and merges entries that became equal without rehashing the others. Tested through merge_test.cpp and
// train_test.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include "core/types.hpp"

namespace zelkor {

// A token vector looked up with its hash computed beforehand (on a rewrite task).
struct HashedIds {
  IdSpan ids;
  size_t hash;
};

// Hashes entry positions by their cached token-vector hashes and compares them by the vectors,
// so the set of positions can be searched with a HashedIds and needs no copy of the vector.
struct EntryPositionHash {
  using is_transparent = void;
  const std::vector<size_t>* hashes;
  size_t operator()(uint32_t e) const { return (*hashes)[e]; }
  size_t operator()(const HashedIds& probe) const { return probe.hash; }
};
struct EntryPositionEq {
  using is_transparent = void;
  const std::vector<SeqEntry>* entries;
  bool operator()(uint32_t a, uint32_t b) const {
    return IdsEq{}((*entries)[a].tokens, (*entries)[b].tokens);
  }
  bool operator()(const HashedIds& p, uint32_t e) const { return IdsEq{}(p.ids, (*entries)[e].tokens); }
  bool operator()(uint32_t e, const HashedIds& p) const { return IdsEq{}((*entries)[e].tokens, p.ids); }
};

// Lives for one training loop (or one standalone merge) over `entries`, which only this index
// may change meanwhile. Entries never move while it lives, except in compact().
class EntryIndex {
 public:
  // Indexes `entries`; equal token vectors are merged at once (counts wrap at 2^32).
  explicit EntryIndex(std::vector<SeqEntry>& entries);
  EntryIndex(const EntryIndex&) = delete;
  EntryIndex& operator=(const EntryIndex&) = delete;

  // A pair of adjacent ids as one value.
  static uint64_t pair_of(uint32_t a, uint32_t b) { return uint64_t{a} << 32 | b; }

  // Ascending positions of the live entries that may hold `parts` (those listed under its
  // rarest adjacent pair; every live entry for a key of one id), and that pair (or UINT64_MAX).
  std::pair<std::vector<uint32_t>, uint64_t> candidates(IdSpan parts);

  // Replaces the list of entries holding `pair` (after a step, by those that still do).
  void set_holders(uint64_t pair, std::vector<uint32_t> positions);

  // A step's rewrite: first detach() every rewritten entry (so that none of their old vectors
  // can be found), then attach() each with its new `tokens` (which hold `new_id`), in ascending
  // order. When another live entry holds them already, the attached entry is merged into it and
  // dies. Pairs that a rewrite removed stay listed until a step on them drops them.
  // `hash` is hash_of(tokens), which a rewrite task can compute.
  void detach(uint32_t e) { by_tokens_.erase(e); }
  void attach(uint32_t e, IdSpan tokens, size_t hash, uint32_t new_id);
  size_t hash_of(IdSpan tokens) const { return seed_(tokens); }

  bool alive(uint32_t e) const { return !dead_[e]; }

  // Drops dead entries (keeping the order of the others) and reindexes; with `force` false
  // only once a quarter of the entries are dead.
  void compact(bool force);

 private:
  void rebuild();
  void list_under(uint64_t pair, uint32_t e);

  std::vector<SeqEntry>& entries_;
  // pair -> positions of the entries holding it (maybe stale: dead or no longer holding it;
  // ascending within a step's additions, not across steps)
  absl::flat_hash_map<uint64_t, std::vector<uint32_t>> postings_;
  std::vector<uint8_t> dead_;
  std::vector<size_t> hashes_;  // per entry: seed_ over its tokens
  SeededHash seed_;
  size_t dead_count_ = 0;
  absl::flat_hash_set<uint32_t, EntryPositionHash, EntryPositionEq> by_tokens_;
};

}  // namespace zelkor
