// Candidate selection: a randomized check that the lazily refreshed candidate heap always picks
// what the parallel scan picks, under rises, falls, removals and a filter that tightens.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/candidate_heap.hpp"
#include "core/trainer.hpp"

namespace {

using namespace zelkor;
using Picked = std::optional<std::pair<NgramKey, Stat>>;

Picked scan(const Zelkor& t) {
  auto best = select_best_candidate(t.stats, CandidateFilter(t.config, t.interner));
  if (!best) return std::nullopt;
  EXPECT_EQ(best->stat, t.stats.find(*best->key)) << "the pair must point into the statistics";
  return std::pair{*best->key, *best->stat};
}

// Random rises (offered to the heap), falls and removals (not offered, as in a merge step), then
// a drain; at every round the heap must pick what the full scan picks. Half-way the character
// limit may tighten: copies of keys it now rejects must be dropped at the top of the heap.
void expect_heap_matches_scan(uint32_t seed, uint64_t max_token_chars) {
  std::mt19937 rng(seed);
  auto uni = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  Zelkor t;  // ids 0..9 of 1 2 1 3 1 2 1 2 1 3 characters
  for (const char* text : {"a", "bb", "c", "ddd", "e", "ff", "g", "hh", "i", "jjj"}) {
    t.interner.intern(text);
  }
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
    if (round == 75) t.config.max_token_chars = max_token_chars;
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
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_heap_matches_scan(seed, seed < 3 ? 0 : 3 + seed % 3);
  }
}

}  // namespace
