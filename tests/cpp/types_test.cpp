// Seeded hashing and the sharded statistics map.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {
namespace {

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

}  // namespace
}  // namespace zelkor
