// GlobalStats: the trainer's n-gram statistics, split into a fixed number of shards by key hash
// so that scans and bulk updates can run one shard per task. Lookups behave like one map.
// Tested through stats_test.cpp.
#pragma once

#include <array>
#include <cstddef>

#include "core/types.hpp"

namespace zelkor {

class GlobalStats {
 public:
  static constexpr size_t SHARD_BITS = 6;
  static constexpr size_t SHARDS = size_t{1} << SHARD_BITS;

  GlobalStats() = default;
  GlobalStats(GlobalStats&&) = default;
  GlobalStats& operator=(GlobalStats&&) = default;
  GlobalStats(const GlobalStats&) = default;
  GlobalStats& operator=(const GlobalStats&) = default;

  size_t shard_index(IdSpan ids) const {
    return static_cast<size_t>(router_(ids) >> (64 - SHARD_BITS));
  }
  size_t shard_index(const PrehashedIds& ids) const {
    return static_cast<size_t>(router_(ids) >> (64 - SHARD_BITS));
  }
  StatsMap& shard(size_t i) { return shards_[i]; }
  const StatsMap& shard(size_t i) const { return shards_[i]; }
  StatsMap& shard_for(IdSpan ids) { return shards_[shard_index(ids)]; }
  const StatsMap& shard_for(IdSpan ids) const { return shards_[shard_index(ids)]; }

  const Stat* find(IdSpan key) const;
  Stat* find(IdSpan key);
  bool contains(IdSpan key) const { return find(key) != nullptr; }
  // The key's statistics, inserted as zero when absent.
  Stat& operator[](IdSpan key) { return stat_slot(shard_for(key), key); }
  bool erase(IdSpan key) { return shard_for(key).erase(key) > 0; }

  size_t size() const;
  bool empty() const { return size() == 0; }
  void clear();
  // Room for about `n` keys in total, spread over the shards.
  void reserve(size_t n);

  template <typename F>
  void for_each(F&& f) const {
    for (const auto& shard : shards_) {
      for (const auto& [key, stat] : shard) f(key, stat);
    }
  }

 private:
  SeededHash router_;
  std::array<StatsMap, SHARDS> shards_;
};

}  // namespace zelkor
