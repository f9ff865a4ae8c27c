// Candidate selection: the candidate order, the lazily refreshed candidate heap and the parallel
// scan, including a randomized check that the heap always picks what the scan picks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/select.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os) { *os << debug_string(stat); }
}  // namespace zelkor

namespace {

using zelkor::Candidate;
using zelkor::NgramKey;
using zelkor::Stat;
using zelkor::StatRef;
using zelkor::Zelkor;
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
  auto best = zelkor::select_best_candidate(t);
  if (!best) return std::nullopt;
  return std::pair{*best->key, *best->stat};
}

Picked picked(const NgramKey& key, Stat stat) { return std::pair{key, stat}; }

// ---- The candidate order ------------------------------------------------------------------

struct OrderCase {
  const char* name;
  NgramKey worse;
  uint64_t worse_score;
  NgramKey better;
  uint64_t better_score;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class CandidateOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(CandidateOrder, HeapAndScanAgree) {
  const OrderCase& c = GetParam();
  Candidate cw{c.worse, c.worse_score, c.worse.size()};
  Candidate cb{c.better, c.better_score, c.better.size()};
  EXPECT_TRUE(zelkor::candidate_less(cw, cb));
  EXPECT_FALSE(zelkor::candidate_less(cb, cw));
  Stat sw{2, c.worse_score}, sb{2, c.better_score};
  StatRef rw{&c.worse, &sw}, rb{&c.better, &sb};
  EXPECT_EQ(&zelkor::better_ref(rw, rb), &rb);
  EXPECT_EQ(&zelkor::better_ref(rb, rw), &rb);

  if (std::ranges::max(c.worse) > 9 || std::ranges::max(c.better) > 9) return;  // comparators only
  for (bool better_first : {false, true}) {
    Zelkor t = make_trainer();
    t.stats[c.worse] = sw;
    t.stats[c.better] = sb;
    t.push_candidate(better_first ? c.better : c.worse);
    t.push_candidate(better_first ? c.worse : c.better);
    EXPECT_EQ(scan(t), picked(c.better, sb));
    EXPECT_EQ(t.pop_best_from_heap(), picked(c.better, sb));
    EXPECT_EQ(t.pop_best_from_heap(), picked(c.worse, sw));
    EXPECT_EQ(t.pop_best_from_heap(), std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CandidateOrder,
    ::testing::Values(
        OrderCase{"HigherScoreBeatsLongerKey", {1, 2, 3}, 4, {1, 2}, 5},
        OrderCase{"EqualScoreLongerKeyWins", {9, 9}, 7, {0, 0, 0}, 7},
        OrderCase{"ProperPrefixIsSmaller", {4, 5}, 7, {4, 5, 0}, 7},
        OrderCase{"GreaterFirstDifferingIdWins", {1, 2, 9}, 7, {1, 3, 0}, 7},
        OrderCase{"DifferenceInLastId", {4, 4, 4, 1}, 7, {4, 4, 4, 2}, 7},
        OrderCase{"IdsCompareUnsigned", {0x7fffffffu, 0}, 7, {0x80000000u, 0}, 7},
        OrderCase{"ScoresBeyond32Bits", {9, 9, 9}, uint64_t{1} << 32, {0, 0},
                  (uint64_t{1} << 32) + 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CandidateOrderTie, BetterRefKeepsFirstArgumentOnFullTie) {
  NgramKey a{3, 4}, b{3, 4};
  Stat s{2, 5};
  StatRef ra{&a, &s}, rb{&b, &s};
  EXPECT_EQ(&zelkor::better_ref(ra, rb), &ra);
  EXPECT_EQ(&zelkor::better_ref(rb, ra), &rb);
}

// ---- Heap edge cases ----------------------------------------------------------------------

TEST(CandidateHeap, StaleEntryIsRefreshedAndCanLoseToALowerOne) {
  Zelkor t = make_trainer();
  NgramKey fell = k(t, "a|bb"), fifty = k(t, "c|ddd");
  t.stats[fell] = {5, 100};
  t.stats[fifty] = {3, 50};
  t.rebuild_heap();
  t.stats[fell].score = 40;
  EXPECT_EQ(t.pop_best_from_heap(), picked(fifty, {3, 50}));
  EXPECT_EQ(t.pop_best_from_heap(), picked(fell, {5, 40}));
  EXPECT_EQ(t.pop_best_from_heap(), std::nullopt);
}

TEST(CandidateHeap, VanishedAndFreqOneKeysAreDroppedAndTheNextIsTried) {
  Zelkor t = make_trainer();
  NgramKey gone = k(t, "a|bb"), weak = k(t, "c|ddd"), next = k(t, "e|ff");
  t.stats[gone] = {9, 300};
  t.stats[weak] = {9, 200};
  t.stats[next] = {2, 10};
  t.rebuild_heap();
  t.stats.erase(gone);
  t.stats[weak].freq = 1;
  EXPECT_EQ(t.pop_best_from_heap(), picked(next, {2, 10}));
  EXPECT_TRUE(t.heap.empty());
}

TEST(CandidateHeap, OnlyRejectedOrVanishedEntriesAreClearedByOnePop) {
  Zelkor t = make_trainer();
  NgramKey rejected = k(t, "ddd|jjj"), stale_rejected = k(t, "ff|ddd"), gone = k(t, "a|c"),
           low = k(t, "e|g");
  t.stats[rejected] = {2, 9};
  t.stats[stale_rejected] = {2, 8};
  t.stats[gone] = {2, 7};
  t.stats[low] = {2, 6};
  for (const NgramKey& key : {rejected, stale_rejected, gone, low}) t.push_candidate(key);
  ASSERT_EQ(t.heap.size(), 4u);
  t.config.max_token_chars = 4;  // rejects both long keys from now on
  t.stats[stale_rejected].score = 3;
  t.stats.erase(gone);
  t.stats[low].freq = 1;
  EXPECT_EQ(t.pop_best_from_heap(), std::nullopt);
  EXPECT_TRUE(t.heap.empty());
  EXPECT_EQ(scan(t), std::nullopt);
}

TEST(CandidateHeap, RebuildKeepsExactlyTheAdmissibleKeys) {
  Zelkor t = make_trainer();
  NgramKey best = k(t, "a|bb|c"), second = k(t, "e|g");
  t.stats[best] = {2, 4};
  t.push_candidate(best);
  t.stats.clear();
  t.rebuild_heap();
  EXPECT_TRUE(t.heap.empty());

  t.config.max_token_chars = 4;
  t.stats[best] = {2, 4};
  t.stats[second] = {3, 4};
  t.stats[k(t, "i|a")] = {1, 50};
  t.stats[k(t, "i|c")] = {0, 60};
  t.stats[k(t, "ddd|jjj")] = {5, 70};  // too long
  for (int i = 0; i < 2; ++i) {
    t.rebuild_heap();
    ASSERT_EQ(t.heap.size(), 2u);
    EXPECT_EQ(t.heap.front().key, best);
    EXPECT_EQ(t.heap.front().score, 4u);
    EXPECT_EQ(t.heap.front().len, 3u);
  }
}

TEST(CandidateHeap, PushIgnoresInadmissibleKeys) {
  Zelkor t = make_trainer();
  t.config.max_token_chars = 4;
  t.push_candidate(k(t, "a|c"));  // empty statistics
  t.stats[k(t, "e|g")] = {5, 5};
  t.push_candidate(k(t, "a|c"));  // absent
  t.stats[k(t, "i|a")] = {1, 5};
  t.push_candidate(k(t, "i|a"));  // freq 1
  t.stats[k(t, "ddd|jjj")] = {5, 5};
  t.push_candidate(k(t, "ddd|jjj"));  // rejected
  EXPECT_TRUE(t.heap.empty());
}

TEST(CandidateHeap, SameKeyPushedTwiceComesBackOnlyWhileAdmissible) {
  struct Row {
    const char* name;
    void (*change)(Zelkor&, const NgramKey&);
    Picked second;
  };
  const NgramKey key{0, 1};
  const Row rows[] = {
      {"unchanged", [](Zelkor&, const NgramKey&) {}, picked(key, {4, 4})},
      {"score fell", [](Zelkor& t, const NgramKey& x) { t.stats[x].score = 2; },
       picked(key, {4, 2})},
      {"erased", [](Zelkor& t, const NgramKey& x) { t.stats.erase(x); }, std::nullopt},
      {"freq 1", [](Zelkor& t, const NgramKey& x) { t.stats[x].freq = 1; }, std::nullopt},
      {"rejected", [](Zelkor& t, const NgramKey&) { t.config.max_token_chars = 2; }, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Zelkor t = make_trainer();
    t.stats[key] = {4, 4};
    t.push_candidate(key);
    t.push_candidate(key);
    ASSERT_EQ(t.heap.size(), 2u);
    EXPECT_EQ(t.pop_best_from_heap(), picked(key, {4, 4}));
    row.change(t, key);
    EXPECT_EQ(t.pop_best_from_heap(), row.second);
    EXPECT_TRUE(t.heap.empty());
  }
}

TEST(CandidateScan, SkipsInadmissibleKeysAndPointsIntoTheMap) {
  Zelkor t = make_trainer();
  EXPECT_EQ(scan(t), std::nullopt);
  for (uint32_t a = 0; a < 10; ++a) t.stats[NgramKey{a, 9 - a}] = {1, 100 + a};
  EXPECT_EQ(scan(t), std::nullopt);  // every key has freq 1
  t.config.max_token_chars = 4;
  t.stats[k(t, "ddd|jjj")] = {9, 90};
  NgramKey ok = k(t, "a|bb");
  t.stats[ok] = {2, 3};
  auto best = zelkor::select_best_candidate(t);
  ASSERT_TRUE(best);
  EXPECT_EQ(*best->key, ok);
  EXPECT_EQ(best->stat, t.stats.find(ok));
}

// ---- Property: the lazily refreshed heap picks what the full scan picks ---------------------

struct RandomRun {
  uint32_t seed;
  uint64_t max_token_chars;
};

void PrintTo(const RandomRun& r, std::ostream* os) {
  *os << "seed " << r.seed << ", max_token_chars " << r.max_token_chars;
}

class HeapMatchesScan : public ::testing::TestWithParam<RandomRun> {};

TEST_P(HeapMatchesScan, UnderRandomRisesFallsAndRemovals) {
  std::mt19937 rng(GetParam().seed);
  auto uni = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  Zelkor t = make_trainer();
  t.config.max_token_chars = GetParam().max_token_chars;
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
    if (round < 150) {  // then drain without changes
      for (uint64_t c = uni(0, 8); c > 0; --c) {
        const NgramKey& key = any_key();
        Stat* stat = t.stats.find(key);
        switch (uni(0, 2)) {
          case 0:  // falls; merges do not offer such keys
            if (stat) *stat = {static_cast<uint32_t>(uni(0, stat->freq)), uni(0, stat->score)};
            break;
          case 1:
            t.stats.erase(key);
            break;
          default:  // rises or appears, then is offered
            stat = &t.stats[key];
            stat->freq += static_cast<uint32_t>(uni(0, 3));
            stat->score += uni(0, 6);
            t.push_candidate(key);
        }
      }
    }
    Picked expected = scan(t);
    ASSERT_EQ(t.pop_best_from_heap(), expected) << "round " << round;
    if (!expected) break;
    ++found;
    t.stats.erase(expected->first);
  }
  EXPECT_GT(found, 40);  // the comparison was not vacuous
  EXPECT_EQ(t.pop_best_from_heap(), std::nullopt);
  EXPECT_TRUE(t.heap.empty());
}

INSTANTIATE_TEST_SUITE_P(Seeds, HeapMatchesScan,
                         ::testing::Values(RandomRun{1, 0}, RandomRun{2, 0}, RandomRun{3, 0},
                                           RandomRun{4, 5}, RandomRun{5, 5}, RandomRun{6, 4}),
                         [](const auto& info) {
                           return "Seed" + std::to_string(info.param.seed) + "MaxChars" +
                                  std::to_string(info.param.max_token_chars);
                         });

}  // namespace
