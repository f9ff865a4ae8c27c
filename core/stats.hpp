// N-gram statistics: the full recount of a span of sequences, and the three ways a map of
// changes enters a statistics map: merge_stats_into (plain wrapping sums), accumulate_stats (a
// borrowed change map, optional erasure of keys left at frequency 0 or 1) and
// accumulate_stats_owned (a consumed change map; gains of 0 or 1 are dropped and keys left below
// 2 are erased). The target is a StatsMap or a sharded GlobalStats. Tested by stats_test.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {

namespace detail {
inline StatsMap& map_for(StatsMap& target, IdSpan) { return target; }
inline StatsMap& map_for(GlobalStats& target, IdSpan key) { return target.shard_for(key); }

// mult × value, clamped to the type's largest value.
inline uint32_t weighted_freq(uint32_t mult, uint32_t freq) {
  uint64_t w = uint64_t{mult} * freq;
  return static_cast<uint32_t>(std::min<uint64_t>(w, std::numeric_limits<uint32_t>::max()));
}
inline uint64_t weighted_score(uint32_t mult, uint64_t score) {
  uint64_t ws;
  if (__builtin_mul_overflow(uint64_t{mult}, score, &ws)) return std::numeric_limits<uint64_t>::max();
  return ws;
}
inline uint32_t sub_sat(uint32_t a, uint32_t b) { return a > b ? a - b : 0; }
inline uint64_t sub_sat(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }
}  // namespace detail

// Every window of every entry, weighted by the entry's count (sums wrap), counted on the calling
// thread's pool. Reads the entries only.
GlobalStats count_stats(std::span<const SeqEntry> entries, std::span<const uint64_t> n_values);

// Adds every key of `src` (consumed and released) into `dst`: both fields wrap, nothing is removed.
template <typename Target>
void merge_stats_into(Target& dst, StatsMap&& src) {
  for (const auto& [key, stat] : src) {
    Stat& slot = stat_slot(detail::map_for(dst, key), key);
    slot.freq += stat.freq;
    slot.score += stat.score;
  }
  StatsMap released = std::move(src);
}

// One key of an exact fold: `change` × `mult` added (wrapping) or subtracted (saturating at 0;
// absent keys ignored). With `remove_le1`, a key whose frequency ends at 0 or 1 is erased. `map`
// is the map (or shard) that holds `key`.
template <typename Key>
void fold_exact_key(StatsMap& map, const Key& key, const Stat& change, uint32_t mult, bool add,
                    bool remove_le1) {
  const uint32_t w = detail::weighted_freq(mult, change.freq);
  const uint64_t ws = detail::weighted_score(mult, change.score);
  if (add) {
    auto it = map.try_emplace(key).first;
    it->second.freq += w;
    it->second.score += ws;
    if (remove_le1 && it->second.freq <= 1) map.erase(it);
  } else {
    auto it = map.find(key);
    if (it == map.end()) return;
    it->second.freq = detail::sub_sat(it->second.freq, w);
    it->second.score = detail::sub_sat(it->second.score, ws);
    if (remove_le1 && it->second.freq <= 1) map.erase(it);
  }
}

// Folds every key of `delta` × `mult` into `target` by fold_exact_key.
template <typename Target>
void accumulate_stats(Target& target, const StatsMap& delta, uint32_t mult, bool add,
                      bool remove_le1) {
  for (const auto& [key, change] : delta) {
    fold_exact_key(detail::map_for(target, key), key, change, mult, add, remove_le1);
  }
}

// One key of an owned fold: `change` × `mult` added (gains of 0 or 1 dropped, also for keys
// already present; a key left below 2 erased) or subtracted (saturating at 0, absent keys
// ignored, a key left at 0 or 1 erased). `map` is the map (or shard) that holds `key`.
template <typename Key>
void fold_owned_key(StatsMap& map, const Key& key, const Stat& change, uint32_t mult, bool add) {
  const uint32_t w = detail::weighted_freq(mult, change.freq);
  const uint64_t ws = detail::weighted_score(mult, change.score);
  if (add) {
    if (w <= 1) return;
    bool inserted = false;
    auto it = stat_entry(map, key, Stat{w, ws}, inserted);  // w >= 2: a new key stays
    if (inserted) return;
    it->second.freq += w;
    it->second.score += ws;
    if (it->second.freq < 2) map.erase(it);
  } else {
    auto it = map.find(key);
    if (it == map.end()) return;
    it->second.freq = detail::sub_sat(it->second.freq, w);
    it->second.score = detail::sub_sat(it->second.score, ws);
    if (it->second.freq <= 1) map.erase(it);
  }
}

// Folds every key of `delta` (consumed and released) into `target` by fold_owned_key.
template <typename Target>
void accumulate_stats_owned(Target& target, StatsMap&& delta, uint32_t mult, bool add) {
  for (const auto& [key, change] : delta) {
    fold_owned_key(detail::map_for(target, key), key, change, mult, add);
  }
  StatsMap released = std::move(delta);
}

}  // namespace zelkor
