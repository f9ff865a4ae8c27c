// Candidate selection: admission to the lazily refreshed candidate heap, the checks at its top,
// and a randomized check that the heap always picks what the parallel scan picks.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/candidate_heap.hpp"
#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace {

using namespace zelkor;
using Picked = std::optional<std::pair<NgramKey, Stat>>;

// Ids 0..9 with character counts 1 2 1 3 1 2 1 2 1 3.
Zelkor make_trainer() {
  Zelkor t;
  for (const char* text : {"a", "bb", "c", "ddd", "e", "ff", "g", "hh", "i", "jjj"}) {
    t.interner.intern(text);
  }
  return t;
}

NgramKey k(Zelkor& t, std::string_view parts) { return zelkor::testing::key_of(t.interner, parts); }

Picked scan(const Zelkor& t) {
  auto best = select_best_candidate(t.stats, CandidateFilter(t.config, t.interner));
  if (!best) return std::nullopt;
  EXPECT_EQ(best->stat, t.stats.find(*best->key)) << "the pair must point into the statistics";
  return std::pair{*best->key, *best->stat};
}

Picked picked(const NgramKey& key, Stat stat) { return std::pair{key, stat}; }

TEST(CandidateHeap, PushAndRebuildKeepOnlyAdmissibleKeys) {
  Zelkor t = make_trainer();
  t.config.max_token_chars = 4;
  const NgramKey best = k(t, "a|bb|c"), second = k(t, "e|g");
  t.stats[best] = {2, 4};
  t.stats[second] = {3, 4};
  t.stats[k(t, "i|a")] = {1, 50};
  t.stats[k(t, "ddd|jjj")] = {5, 70};  // too long
  for (const char* texts : {"a|c", "i|a", "ddd|jjj"}) t.push_candidate(k(t, texts));  // absent too
  EXPECT_TRUE(t.heap.empty());
  t.push_candidate(second);  // a leftover that a rebuild drops
  t.rebuild_heap();
  ASSERT_EQ(t.heap.size(), 2u);
  EXPECT_EQ(t.heap.items().front().key, best);
  EXPECT_EQ(t.heap.items().front().score, 4u);
  EXPECT_EQ(t.heap.items().front().len, 3u);  // the longer of two equal scores
}

// An entry is checked again when it reaches the top: copies pushed while the key was admissible
// come back with the current statistics, and are dropped once the filter rejects the key.
TEST(CandidateHeap, TopEntryIsCheckedAgain) {
  Zelkor t = make_trainer();
  const NgramKey key{0, 1};
  t.stats[key] = {4, 4};
  for (int i = 0; i < 3; ++i) t.push_candidate(key);
  EXPECT_EQ(t.pop_best_from_heap(), picked(key, {4, 4}));
  t.stats[key].score = 2;
  EXPECT_EQ(t.pop_best_from_heap(), picked(key, {4, 2}));
  t.config.max_token_chars = 2;
  EXPECT_EQ(t.pop_best_from_heap(), std::nullopt);
  EXPECT_TRUE(t.heap.empty());
}

// Random rises (offered to the heap), falls and removals (not offered, as in a merge step),
// then a drain; at every round the heap must pick what the full scan picks.
void expect_heap_matches_scan(uint32_t seed, uint64_t max_token_chars) {
  std::mt19937 rng(seed);
  auto uni = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  Zelkor t = make_trainer();
  t.config.max_token_chars = max_token_chars;
  std::vector<NgramKey> pool(400);
  for (NgramKey& key : pool) {
    for (uint64_t n = uni(2, 4); n > 0; --n) key.push_back(static_cast<uint32_t>(uni(0, 9)));
  }
  auto any_key = [&]() -> const NgramKey& { return pool[uni(0, pool.size() - 1)]; };
  for (int i = 0; i < 300; ++i) t.stats[any_key()] = {static_cast<uint32_t>(uni(0, 6)), uni(0, 12)};
  t.rebuild_heap();
  int found = 0;
  for (int round = 0;; ++round) {
    ASSERT_LT(round, 1000) << "heap never ran dry";
    for (uint64_t c = round < 150 ? uni(0, 8) : 0; c > 0; --c) {
      const NgramKey& key = any_key();
      Stat* stat = t.stats.find(key);
      if (const uint64_t op = uni(0, 2); op == 0 && stat) {
        *stat = {static_cast<uint32_t>(uni(0, stat->freq)), uni(0, stat->score)};
      } else if (op == 1) {
        t.stats.erase(key);
      } else if (op == 2) {
        stat = &t.stats[key];
        stat->freq += static_cast<uint32_t>(uni(0, 3));
        stat->score += uni(0, 6);
        t.push_candidate(key);
      }
    }
    const Picked expected = scan(t);
    ASSERT_EQ(t.pop_best_from_heap(), expected) << "round " << round;
    if (!expected) break;
    ++found;
    t.stats.erase(expected->first);
  }
  EXPECT_GT(found, 40);  // the comparison was not vacuous
  EXPECT_TRUE(t.heap.empty());
}

TEST(HeapMatchesScan, UnderRandomRisesFallsAndRemovals) {
  for (const auto& [seed, max_chars] : {std::pair{1u, 0u}, {2u, 0u}, {3u, 0u}, {4u, 5u}, {5u, 5u},
                                        {6u, 4u}}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_heap_matches_scan(seed, max_chars);
  }
}

}  // namespace
