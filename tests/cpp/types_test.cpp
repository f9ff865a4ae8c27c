// N-gram keys (inline and spilled), seeded hashing, and the sharded statistics map.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {
namespace {

TEST(NgramKey, OrderIsLexicographicWithShorterPrefixFirst) {
  const std::vector<NgramKey> ascending = {
      {1}, {1, 2}, {1, 2, 3}, {1, 3}, {2}, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {2, 1}, {0xFFFFFFFFu}};
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " vs " << j;
      EXPECT_EQ(ascending[i] == ascending[j], i == j);
    }
  }
}

TEST(NgramKey, TenIdKeysWorkAsMapKeys) {
  StatsMap map;
  NgramKey long_key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  NgramKey copy = long_key;
  map[long_key].freq = 4;
  map[{1, 2, 3, 4, 5, 6, 7, 8, 9}].freq = 9;
  EXPECT_EQ(map.at(copy).freq, 4u);
  EXPECT_EQ(map.size(), 2u);
  copy.back() = 11;
  EXPECT_FALSE(map.contains(copy));
}

TEST(SeededHash, MapsGetTheirOwnSeeds) {
  SeededHash a, b;
  EXPECT_NE(a.seed, b.seed);
  NgramKey key = {3, 4};
  EXPECT_EQ(a(key), a(NgramKey{3, 4}));
  EXPECT_NE(a(key), b(key));
  // The key and a token vector with the same ids hash alike under one seed.
  EXPECT_EQ(a(key), a(TokenIds{3, 4}));
}

// GlobalStats behaves like one map: compare against std::map under random operations.
TEST(GlobalStats, MatchesAPlainMap) {
  std::mt19937 rng(3);
  GlobalStats stats;
  std::map<NgramKey, Stat> model;
  for (int op = 0; op < 20000; ++op) {
    NgramKey key = {static_cast<uint32_t>(rng() % 30), static_cast<uint32_t>(rng() % 30)};
    if (rng() % 4 == 0) key.push_back(rng() % 5);
    switch (rng() % 3) {
      case 0:
        stats[key].freq += 1;
        model[key].freq += 1;
        break;
      case 1:
        EXPECT_EQ(stats.erase(key), model.erase(key) > 0);
        break;
      default: {
        const Stat* found = stats.find(key);
        auto it = model.find(key);
        ASSERT_EQ(found != nullptr, it != model.end());
        if (found) {
          EXPECT_EQ(*found, it->second);
        }
      }
    }
  }
  EXPECT_EQ(stats.size(), model.size());
  std::map<NgramKey, Stat> walked;
  stats.for_each([&](const NgramKey& k, const Stat& s) { EXPECT_TRUE(walked.emplace(k, s).second); });
  EXPECT_EQ(walked, model);
  stats.clear();
  EXPECT_TRUE(stats.empty());
}

TEST(GlobalStats, BuiltFromAMapKeepsEveryKey) {
  StatsMap map;
  for (uint32_t i = 0; i < 1000; ++i) map[{i, i + 1}] = Stat{i, 2ull * i};
  GlobalStats stats(std::move(map));
  EXPECT_EQ(stats.size(), 1000u);
  EXPECT_EQ(stats.find(NgramKey{10, 11})->score, 20u);
}

}  // namespace
}  // namespace zelkor
