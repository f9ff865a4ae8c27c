// N-gram statistics: the full recount (exact values, wrap-around, thread-count independence), the
// rebuild with its log lines and heap reset, and the two fold rules on both kinds of target map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "core/select.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os) { *os << debug_string(stat); }
}  // namespace zelkor

namespace {

using zelkor::GlobalStats;
using zelkor::SeqEntry;
using zelkor::Stat;
using zelkor::StatsMap;
using zelkor::Zelkor;
using Ids = std::vector<uint32_t>;
using Table = std::map<Ids, Stat>;
constexpr uint32_t U32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t U64 = std::numeric_limits<uint64_t>::max();

struct QuietLog : ::testing::Environment {
  void SetUp() override {
    setenv("LOG_FILE", "/dev/null", 1);
    setenv("LOG_LEVEL", "2", 1);
  }
};
[[maybe_unused]] auto* const quiet_log = ::testing::AddGlobalTestEnvironment(new QuietLog);

Table table_of(const GlobalStats& stats) {
  Table out;
  stats.for_each([&](const auto& key, const Stat& s) { out[Ids(key.begin(), key.end())] = s; });
  EXPECT_EQ(out.size(), stats.size());
  return out;
}

Zelkor trainer(std::vector<SeqEntry> entries, std::vector<uint64_t> n_values, uint64_t workers) {
  Zelkor t;
  for (const char* text : {"a", "b", "c", "d", "e"}) t.interner.intern(text);
  t.entries = std::move(entries);
  t.config.n_values = std::move(n_values);
  t.config.num_workers = workers;
  return t;
}

// ---- The full recount ---------------------------------------------------------------------

struct RecountCase {
  const char* name;
  std::vector<SeqEntry> entries;
  std::vector<uint64_t> n_values;
  Table expected;
};
void PrintTo(const RecountCase& c, std::ostream* os) { *os << c.name; }

class Recount : public ::testing::TestWithParam<RecountCase> {};

TEST_P(Recount, ExactForEveryThreadCount) {
  for (uint64_t workers : {0, 1, 3}) {
    Zelkor t = trainer(GetParam().entries, GetParam().n_values, workers);
    EXPECT_EQ(table_of(t.compute_stats_full()), GetParam().expected) << "num_workers " << workers;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Recount,
    ::testing::Values(
        RecountCase{"abab_x3", {{{0, 1, 0, 1}, 3}}, {2, 3},
                    {{{0, 1}, {6, 6}}, {{1, 0}, {3, 3}}, {{0, 1, 0}, {3, 6}}, {{1, 0, 1}, {3, 6}}}},
        RecountCase{"one_token_and_empty_entries", {{{2}, 7}, {{}, 4}}, {2, 3}, {}},
        RecountCase{"no_entries", {}, {2}, {}},
        RecountCase{"shorter_than_some_n", {{{0, 1, 2}, 1}, {{3, 4}, 2}}, {2, 3, 4},
                    {{{0, 1}, {1, 1}}, {{1, 2}, {1, 1}}, {{3, 4}, {2, 2}}, {{0, 1, 2}, {1, 2}}}},
        // freq wraps at 2^32 (within one entry and across entries); score is 64-bit.
        RecountCase{"freq_wraps_score_does_not",
                    {{{0, 1, 0, 1}, 1u << 31}, {{2, 3}, U32}, {{4, 2, 3}, 2}}, {2},
                    {{{0, 1}, {0, 1ull << 32}}, {{1, 0}, {1u << 31, 1ull << 31}},
                     {{2, 3}, {1, (1ull << 32) + 1}}, {{4, 2}, {2, 2}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecountRandom, SameMapForZeroAndThreeWorkers) {
  std::mt19937 rng(7);
  std::vector<SeqEntry> entries;
  for (int i = 0; i < 3000; ++i) {
    SeqEntry e{Ids(rng() % 12), 1 + static_cast<uint32_t>(rng() % 5)};
    for (auto& id : e.tokens) id = rng() % 5;
    entries.push_back(std::move(e));
  }
  Table expected;  // the defining count, window by window
  for (const auto& e : entries)
    for (uint64_t n : {2, 4, 5})
      for (size_t s = 0; s + n <= e.tokens.size(); ++s) {
        Stat& st = expected[Ids(e.tokens.begin() + s, e.tokens.begin() + s + n)];
        st.freq += e.freq, st.score += uint64_t{e.freq} * (n - 1);
      }
  EXPECT_EQ(table_of(trainer(entries, {2, 4, 5}, 0).compute_stats_full()), expected);
  EXPECT_EQ(table_of(trainer(entries, {2, 4, 5}, 3).compute_stats_full()), expected);
}

// ---- rebuild_global_stats -----------------------------------------------------------------

TEST(Rebuild, ReplacesStatsLogsAndResetsHeap) {
  const std::regex start(R"(\[[^\]]+\]\[pid=\d+\]\[stats\] rebuild_global_stats start entries=2 )"
                         R"(n_values=\[2, 3\] num_workers=0)");
  const std::regex done(R"(\[[^\]]+\]\[pid=\d+\]\[stats\] rebuild_global_stats done keys=4 )"
                        R"(elapsed=\d+\.\d\ds)");
  struct Mode { bool use_heap, recompute; size_t heap_size; };
  for (Mode m : {Mode{true, false, 4}, Mode{false, false, 0}, Mode{true, true, 0}}) {
    Zelkor t = trainer({{{0, 1, 0, 1}, 3}, {{2}, 1}}, {2, 3}, 0);
    t.config.use_heap = m.use_heap, t.config.recompute_each_step = m.recompute;
    t.stats[Ids{4, 4}] = Stat{9, 9};
    t.heap.push_back({{4, 4}, 9, 2});
    ::testing::internal::CaptureStderr();
    t.rebuild_global_stats();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const size_t nl = err.find('\n');
    ASSERT_NE(nl, std::string::npos) << err;
    EXPECT_TRUE(std::regex_match(err.substr(0, nl), start)) << err;
    EXPECT_TRUE(std::regex_match(err.substr(nl + 1, err.size() - nl - 2), done)) << err;
    EXPECT_EQ(table_of(t.stats), table_of(t.compute_stats_full()));
    ASSERT_EQ(t.heap.size(), m.heap_size) << "use_heap " << m.use_heap;
    EXPECT_TRUE(std::is_heap(t.heap.begin(), t.heap.end(), zelkor::candidate_less));
    for (const auto& c : t.heap) EXPECT_EQ(c.score, t.stats.find(c.key)->score);
  }
}

TEST(Rebuild, NoEntriesReportsZeroKeys) {
  Zelkor t = trainer({}, {2}, 0);
  ::testing::internal::CaptureStderr();
  t.rebuild_global_stats();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("rebuild_global_stats done keys=0 "),
            std::string::npos);
  EXPECT_TRUE(t.stats.empty());
}

// ---- The folds, on a plain map and on the sharded global map ------------------------------

struct FoldCase {
  const char* name;
  bool owned, add, remove_le1;  // remove_le1 only matters for the borrowed fold
  uint32_t mult;
  std::optional<Stat> before;  // the key in the target
  Stat change;
  std::optional<Stat> after;
};

const FoldCase kFolds[] = {
    {"owned gain of 1 is lost", true, true, false, 1, Stat{5, 5}, {1, 1}, Stat{5, 5}},
    {"owned gain 1 x mult 2", true, true, false, 2, Stat{5, 5}, {1, 1}, Stat{7, 7}},
    {"owned new key gain 1", true, true, false, 1, {}, {1, 2}, {}},
    {"owned new key gain 2", true, true, false, 2, {}, {1, 2}, Stat{2, 4}},
    {"owned mult 0", true, true, false, 0, Stat{5, 5}, {3, 3}, Stat{5, 5}},
    {"owned add wraps below 2", true, true, false, 1, Stat{U32, 0}, {2, 2}, {}},
    {"owned freq clamped", true, true, false, 1u << 16, {}, {1u << 16, 3}, Stat{U32, 3ull << 16}},
    {"owned clamp then wrap", true, true, false, 1u << 16, Stat{5, 0}, {1u << 16, 0}, Stat{4, 0}},
    {"owned score saturates", true, true, false, 2, {}, {1, 1ull << 63}, Stat{2, U64}},
    {"owned 3 minus 2 erased", true, false, false, 1, Stat{3, 3}, {2, 2}, {}},
    {"owned 3 minus 1 kept", true, false, false, 1, Stat{3, 3}, {1, 1}, Stat{2, 2}},
    {"owned score floors at 0", true, false, false, 1, Stat{3, 1}, {1, 5}, Stat{2, 0}},
    {"owned minus x mult", true, false, false, 3, Stat{10, 10}, {2, 2}, Stat{4, 4}},
    {"owned minus absent", true, false, false, 1, {}, {1, 1}, {}},
    {"owned minus too much", true, false, false, 1, Stat{3, 3}, {9, 9}, {}},
    {"new freq 1 kept", false, true, false, 1, {}, {1, 1}, Stat{1, 1}},
    {"new freq 1 removed", false, true, true, 1, {}, {1, 1}, {}},
    {"new freq 1 x mult 2", false, true, true, 2, {}, {1, 1}, Stat{2, 2}},
    {"mult 0 inserts zero", false, true, false, 0, {}, {4, 4}, Stat{0, 0}},
    {"gain of 1 counted", false, true, true, 1, Stat{5, 5}, {1, 1}, Stat{6, 6}},
    {"add wraps", false, true, false, 1, Stat{U32, 0}, {2, 2}, Stat{1, 2}},
    {"freq clamped", false, true, true, 1u << 16, {}, {1u << 16, 3}, Stat{U32, 3ull << 16}},
    // The product saturates, then the sum wraps.
    {"score saturates", false, true, true, 4, Stat{2, 8}, {1, U64 / 2}, Stat{6, 7}},
    {"minus absent", false, false, false, 1, {}, {1, 1}, {}},
    {"minus to 1 kept", false, false, false, 1, Stat{3, 3}, {2, 2}, Stat{1, 1}},
    {"minus to 1 removed", false, false, true, 1, Stat{3, 3}, {2, 2}, {}},
    {"minus floors at 0", false, false, false, 1, Stat{3, 1}, {5, 5}, Stat{0, 0}},
};

std::optional<Stat> lookup(StatsMap& m, const Ids& k) {
  auto it = m.find(k);
  return it == m.end() ? std::nullopt : std::optional(it->second);
}
std::optional<Stat> lookup(GlobalStats& m, const Ids& k) {
  const Stat* s = m.find(k);
  return s ? std::optional(*s) : std::nullopt;
}
void put(StatsMap& m, const Ids& k, Stat s) { m[zelkor::NgramKey(k.begin(), k.end())] = s; }
void put(GlobalStats& m, const Ids& k, Stat s) { m[k] = s; }

template <typename T>
class Fold : public ::testing::Test {};
struct TargetName {
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, StatsMap> ? "StatsMap" : "GlobalStats";
  }
};
using Targets = ::testing::Types<StatsMap, GlobalStats>;
TYPED_TEST_SUITE(Fold, Targets, TargetName);

TYPED_TEST(Fold, OneKeyTable) {
  const Ids key{1, 2}, bystander{2, 1};
  for (const FoldCase& c : kFolds) {
    SCOPED_TRACE(c.name);
    TypeParam target;
    put(target, bystander, Stat{3, 3});
    if (c.before) put(target, key, *c.before);
    StatsMap delta;
    delta[zelkor::NgramKey(key.begin(), key.end())] = c.change;
    if (c.owned) {
      zelkor::accumulate_stats_owned(target, std::move(delta), c.mult, c.add);
    } else {
      const StatsMap copy = delta;
      zelkor::accumulate_stats(target, delta, c.mult, c.add, c.remove_le1);
      EXPECT_EQ(delta, copy) << "the borrowed change map must not change";
    }
    EXPECT_EQ(lookup(target, key), c.after);
    EXPECT_EQ(lookup(target, bystander), (Stat{3, 3}));
    EXPECT_EQ(target.size(), 1u + c.after.has_value());
  }
}

}  // namespace
