// Debug texts of the shared values and the sharded statistics map.
#include "core/types.hpp"

#include <fmt/format.h>

#include "core/debug_fmt.hpp"
#include "core/stats_map.hpp"

namespace zelkor {

std::string debug_string(const SeqEntry& entry) {
  return fmt::format("SeqEntry {{ tokens: {}, freq: {} }}", debug_list(entry.tokens), entry.freq);
}

std::string debug_string(const Stat& stat) {
  return fmt::format("Stat {{ freq: {}, score: {} }}", stat.freq, stat.score);
}

const Stat* GlobalStats::find(IdSpan key) const {
  const auto& shard = shard_for(key);
  auto it = shard.find(key);
  return it == shard.end() ? nullptr : &it->second;
}

Stat* GlobalStats::find(IdSpan key) {
  auto& shard = shard_for(key);
  auto it = shard.find(key);
  return it == shard.end() ? nullptr : &it->second;
}

size_t GlobalStats::size() const {
  size_t n = 0;
  for (const auto& shard : shards_) n += shard.size();
  return n;
}

void GlobalStats::clear() {
  for (auto& shard : shards_) shard.clear();
}

void GlobalStats::reserve(size_t n) {
  for (auto& shard : shards_) shard.reserve(n / SHARDS + 1);
}

}  // namespace zelkor
