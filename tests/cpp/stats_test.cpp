// N-gram statistics: the full recount (wrap-around, thread-count independence), the rebuild with
// its log lines, and the three fold rules on both kinds of target map.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "core/select.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"

namespace {

using namespace zelkor;
using zelkor::testing::StatsTable;
using zelkor::testing::to_table;
using Ids = std::vector<uint32_t>;
constexpr uint32_t U32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t U64 = std::numeric_limits<uint64_t>::max();

const bool kQuiet = zelkor::testing::quiet_log("2");

// Random entries plus counts that make freq wrap at 2^32 (within one entry and across entries)
// while the 64-bit score does not.
TEST(Recount, MatchesTheWindowCountForZeroAndThreeWorkers) {
  std::mt19937 rng(7);
  Zelkor t;
  t.entries = {{{0, 1, 0, 1}, 1u << 31}, {{2, 3}, U32}, {{4, 2, 3}, 2}};
  for (int i = 0; i < 3000; ++i) {
    SeqEntry& e = t.entries.emplace_back(SeqEntry{Ids(rng() % 12), 1 + uint32_t(rng() % 5)});
    for (uint32_t& id : e.tokens) id = rng() % 5;
  }
  t.config.n_values = {2, 4, 5};
  const StatsTable expected = zelkor::testing::count_all_windows(t.entries, t.config.n_values);
  ASSERT_GT(expected.at({2, 3}).score, uint64_t{U32});
  for (uint64_t workers : {0, 3}) {
    t.config.num_workers = workers;
    const GlobalStats stats = t.compute_stats_full();
    EXPECT_EQ(to_table(stats), expected) << "num_workers " << workers;
  }
}

// A rebuild replaces the statistics (a leftover key goes) and, in heap mode, refills the heap.
TEST(Rebuild, ReplacesStatsLogsAndRefillsHeap) {
  Zelkor t;
  for (const char* text : {"a", "b", "c", "d", "e"}) t.interner.intern(text);
  t.entries = {{{0, 1, 0, 1}, 3}, {{2}, 1}};
  t.config.n_values = {2, 3};
  t.config.use_heap = true;
  t.stats[Ids{4, 4}] = Stat{9, 9};
  t.push_candidate({4, 4});
  EXPECT_EQ(zelkor::testing::logged([&] { t.rebuild_global_stats(); }),
            (std::vector<std::string>{
                "stats|rebuild_global_stats start entries=2 n_values=[2, 3] num_workers=0",
                "stats|rebuild_global_stats done keys=4 elapsed=N.dds"}));
  EXPECT_EQ(to_table(t.stats), (StatsTable{{{0, 1}, {6, 6}}, {{1, 0}, {3, 3}},
                                           {{0, 1, 0}, {3, 6}}, {{1, 0, 1}, {3, 6}}}));
  EXPECT_EQ(t.heap.size(), 4u);
}

enum FoldKind { OWNED, BORROWED, MERGE };

// One key folded into a target that holds it (or not) and a bystander key.
const struct FoldCase {
  const char* name;
  FoldKind kind;
  bool add, remove_le1;  // remove_le1 only matters for the borrowed fold
  uint32_t mult;
  std::optional<Stat> before;
  Stat change;
  std::optional<Stat> after;
} kFolds[] = {
    {"owned gain of 1 is lost", OWNED, true, false, 1, Stat{5, 5}, {1, 1}, Stat{5, 5}},
    {"owned gain 1 x mult 2", OWNED, true, false, 2, Stat{5, 5}, {1, 1}, Stat{7, 7}},
    {"owned new key gain 2", OWNED, true, false, 2, {}, {1, 2}, Stat{2, 4}},
    {"owned add wraps below 2", OWNED, true, false, 1, Stat{U32, 0}, {2, 2}, {}},
    {"owned clamp then wrap", OWNED, true, false, 1u << 16, Stat{5, 0}, {1u << 16, 0}, Stat{4, 0}},
    {"owned score saturates", OWNED, true, false, 2, {}, {1, 1ull << 63}, Stat{2, U64}},
    {"owned 3 minus 2 erased", OWNED, false, false, 1, Stat{3, 3}, {2, 2}, {}},
    {"owned score floors at 0", OWNED, false, false, 1, Stat{3, 1}, {1, 5}, Stat{2, 0}},
    {"owned minus x mult", OWNED, false, false, 3, Stat{10, 10}, {2, 2}, Stat{4, 4}},
    {"owned minus absent", OWNED, false, false, 1, {}, {1, 1}, {}},
    {"new freq 1 kept", BORROWED, true, false, 1, {}, {1, 1}, Stat{1, 1}},
    {"new freq 1 removed", BORROWED, true, true, 1, {}, {1, 1}, {}},
    {"add wraps", BORROWED, true, false, 1, Stat{U32, 0}, {2, 2}, Stat{1, 2}},
    {"freq clamped", BORROWED, true, true, 1u << 16, {}, {1u << 16, 3}, Stat{U32, 3ull << 16}},
    {"score saturates, then wraps", BORROWED, true, true, 4, Stat{2, 8}, {1, U64 / 2}, Stat{6, 7}},
    {"minus absent", BORROWED, false, false, 1, {}, {1, 1}, {}},
    {"minus to 1 kept", BORROWED, false, false, 1, Stat{3, 3}, {2, 2}, Stat{1, 1}},
    {"minus to 1 removed", BORROWED, false, true, 1, Stat{3, 3}, {2, 2}, {}},
    {"minus floors at 0", BORROWED, false, false, 1, Stat{3, 1}, {5, 5}, Stat{0, 0}},
    {"merge inserts freq 1", MERGE, true, false, 1, {}, {1, 1}, Stat{1, 1}},
    {"merge wraps", MERGE, true, false, 1, Stat{U32, U64}, {2, 2}, Stat{1, 1}},
};

template <typename T>
class Fold : public ::testing::Test {};
using Targets = ::testing::Types<StatsMap, GlobalStats>;
TYPED_TEST_SUITE(Fold, Targets);

TYPED_TEST(Fold, OneKeyTable) {
  const NgramKey key{1, 2}, bystander{2, 1};
  for (const FoldCase& c : kFolds) {
    SCOPED_TRACE(c.name);
    TypeParam target;
    target[bystander] = Stat{3, 3};
    if (c.before) target[key] = *c.before;
    StatsMap delta;
    delta[key] = c.change;
    if (c.kind == OWNED) {
      accumulate_stats_owned(target, std::move(delta), c.mult, c.add);
    } else if (c.kind == MERGE) {
      merge_stats_into(target, std::move(delta));
    } else {
      const StatsMap copy = delta;
      accumulate_stats(target, delta, c.mult, c.add, c.remove_le1);
      EXPECT_EQ(delta, copy) << "the borrowed change map must not change";
    }
    StatsTable expected = {{bystander, Stat{3, 3}}};
    if (c.after) expected[key] = *c.after;
    EXPECT_EQ(to_table(target), expected);
  }
}

}  // namespace
