// Seeded hashers: every map and set gets its own seed, derived from one random seed drawn once
// per process, so no two maps share an iteration order. Aliases for the maps the trainer uses.
// Tested by types_test.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include "core/table.hpp"

namespace zelkor {

// A fresh seed for a new map (thread-safe; distinct for every call in the process).
uint64_t next_map_seed();

// Final avalanche step (the mixer of a well-known 64-bit finaliser).
inline uint64_t mix64(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// The seed-independent part of the hash of a run of token ids: computed once, it serves every
// map the run is looked up in (see PrehashedIds).
inline uint64_t prehash_ids(std::span<const uint32_t> ids) {
  uint64_t h = ids.size() * 0x9e3779b97f4a7c15ULL;
  size_t i = 0;
  for (; i + 2 <= ids.size(); i += 2) {
    uint64_t pair = (uint64_t{ids[i]} << 32) | ids[i + 1];
    h = (h ^ pair) * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 29;
  }
  if (i < ids.size()) {
    h = (h ^ ids[i]) * 0x9e3779b97f4a7c15ULL;
    h ^= h >> 29;
  }
  return h;
}

// Hash of a run of token ids under `seed`; used for n-gram keys and token vectors alike.
inline uint64_t hash_ids(std::span<const uint32_t> ids, uint64_t seed) {
  return mix64(prehash_ids(ids) ^ seed);
}

// A run of ids with its prehash_ids, for looking one window up in several maps.
struct PrehashedIds {
  std::span<const uint32_t> ids;
  uint64_t prehash;
  explicit PrehashedIds(std::span<const uint32_t> run) : ids(run), prehash(prehash_ids(run)) {}
  PrehashedIds(std::span<const uint32_t> run, uint64_t known) : ids(run), prehash(known) {}
  const uint32_t* data() const { return ids.data(); }
  size_t size() const { return ids.size(); }
};

// A hasher object carrying its map's seed. Default construction draws a new seed, so every
// default-constructed map is seeded on its own; copies of a map keep their seed.
struct SeededHash {
  using is_transparent = void;
  uint64_t seed = next_map_seed();

  template <typename Ids>
    requires requires(const Ids& v) { std::span<const uint32_t>(v.data(), v.size()); }
  size_t operator()(const Ids& ids) const {
    return hash_ids(std::span<const uint32_t>(ids.data(), ids.size()), seed);
  }
  size_t operator()(const PrehashedIds& ids) const { return mix64(ids.prehash ^ seed); }
  size_t operator()(std::string_view s) const {
    return mix64(absl::Hash<std::string_view>{}(s) + seed);
  }
};

// Id-keyed maps look up by any contiguous run of ids (a span, a key, a token vector).
struct IdsEq {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    if (a.size() != b.size()) return false;
    // A plain loop: keys are a few ids long, too short for a memcmp call to pay off.
    const auto* pa = a.data();
    const auto* pb = b.data();
    for (size_t i = 0; i < a.size(); ++i) {
      if (pa[i] != pb[i]) return false;
    }
    return true;
  }
};

// String-keyed maps look up by string_view without building a string.
struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

template <typename V>
using StringMap = Table<absl::flat_hash_map<std::string, V, SeededHash, StringEq>>;
using StringSet = Table<absl::flat_hash_set<std::string, SeededHash, StringEq>>;

using TokenIds = std::vector<uint32_t>;

// Map from a token vector to a count (regrouping of rewritten sequences, sequence counts by id).
template <typename V>
using IdsMap = Table<absl::flat_hash_map<TokenIds, V, SeededHash, IdsEq>>;

// A run of ids viewed in place, for lookups that need no key object.
using IdSpan = std::span<const uint32_t>;

}  // namespace zelkor
