// Merge application: the window rule, the rewrite of one sequence with its change maps, and whole
// merge steps (folds and regrouping) checked against the naive model for 0 and 3 workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/merge.hpp"
#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"

namespace {

using namespace zelkor;
using zelkor::testing::canonical;
using zelkor::testing::StatsTable;
using zelkor::testing::to_table;
using Ids = std::vector<uint32_t>;
using Ns = std::vector<uint64_t>;

const bool kQuiet = zelkor::testing::quiet_log();

TEST(CollectStarts, EqualsOverlapDefinitionOnRandomInputs) {
  std::mt19937 rng(3);
  const Ns n_values{2, 3, 7};
  for (int round = 0; round < 300; ++round) {
    const uint64_t len = 1 + rng() % 60, k = 1 + rng() % 3;
    Ns positions;
    for (uint64_t p = rng() % 3; p + k <= len; p += k + rng() % 4) positions.push_back(p);
    std::shuffle(positions.begin(), positions.end(), rng);
    StartsMap expected;
    for (uint64_t n : n_values) {
      expected.emplace_back(n, Ns{});
      for (uint64_t s = 0; s + n <= len; ++s) {
        if (std::ranges::any_of(positions, [&](uint64_t p) { return s < p + k && p < s + n; })) {
          expected.back().second.push_back(s);
        }
      }
    }
    if (positions.empty()) expected.clear();
    EXPECT_EQ(collect_starts(len, positions, n_values, k), expected) << "len " << len;
  }
}

TEST(Rewrite, TokensAndChangeMaps) {
  constexpr uint32_t p = 0, q = 1, r = 2, s = 3, x = 4, Z = 9;  // Z is the new id
  const struct {
    Ids tokens, parts;
    Ns n_values;
    Ids expected;
    StatsTable removed, added;
  } cases[] = {
      {{x, x, x, x}, {x, x}, {2}, {Z, Z}, {{{x, x}, {3, 3}}}, {{{Z, Z}, {1, 1}}}},
      {{p, q, r, s}, {q, r}, {2, 3}, {p, Z, s},
       {{{p, q}, {1, 1}}, {{q, r}, {1, 1}}, {{r, s}, {1, 1}}, {{p, q, r}, {1, 2}},
        {{q, r, s}, {1, 2}}},
       {{{p, Z}, {1, 1}}, {{Z, s}, {1, 1}}, {{p, Z, s}, {1, 2}}}},
      {{r, q, s, r}, {q, r}, {2}, {r, q, s, r}, {}, {}}};
  MergeBuffers buffers;  // reused from entry to entry, as on one task
  for (int twice = 0; twice < 2; ++twice) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.tokens));
      const EntryDelta d =
          compute_entry_deltas(SeqEntry{c.tokens, 5}, c.parts, Z, c.n_values, buffers);
      EXPECT_EQ(d.tokens, c.expected);
      EXPECT_EQ(d.freq, 5u);
      EXPECT_EQ(to_table(d.removed), c.removed);
      EXPECT_EQ(to_table(d.added), c.added);
    }
  }
}

Zelkor counted(std::vector<SeqEntry> entries, Ns n_values) {
  Zelkor t;
  t.entries = std::move(entries);
  t.config.n_values = std::move(n_values);
  t.stats = t.compute_stats_full();
  return t;
}

TEST(ApplyMerge, RecomputeEachStepLeavesStatsAlone) {
  Zelkor t = counted({{{4, 4, 4, 0}, 2}, {{0, 4, 4}, 3}}, {2, 3});
  t.config.recompute_each_step = true;
  const StatsTable before = to_table(t.stats);
  t.apply_merge(Ids{4, 4}, 9);
  EXPECT_EQ(canonical(t.entries), (std::vector<SeqEntry>{{{0, 9}, 3}, {{9, 4, 0}, 2}}));
  EXPECT_EQ(to_table(t.stats), before);
}

// Merges of the most frequent two- or three-id key over 1,000 distinct sequences with counts
// of 1 to 4, applied with 0 and 3 workers; every third step reuses an id already present, so a
// key can be both lost and gained by one sequence. Both runs must match the model.
TEST(ApplyMerge, RandomStepsMatchTheModelForZeroAndThreeWorkers) {
  std::mt19937 rng(11);
  std::vector<SeqEntry> entries;
  std::set<Ids> seen;
  while (entries.size() < 1000) {
    Ids tokens(rng() % 10);
    for (auto& id : tokens) id = rng() % 6;
    if (seen.insert(tokens).second) entries.push_back({tokens, 1 + uint32_t(rng() % 4)});
  }
  const Ns n_values{2, 3, 4};
  Zelkor t0 = counted(entries, n_values), t3 = t0;
  t3.config.num_workers = 3;
  zelkor::testing::NaiveTrainer model(zelkor::testing::count_all_windows(entries, n_values),
                                      n_values);
  ASSERT_EQ(to_table(t0.stats), model.stats());
  for (uint32_t step = 0; step < 12; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const size_t len = 2 + step % 2;
    const NgramKey parts = std::ranges::max_element(model.stats(), {}, [&](const auto& kv) {
      return std::pair(kv.first.size() == len, kv.second.freq);
    })->first;
    const uint32_t id = step % 3 == 2 ? parts[0] : 8 + step;
    const std::vector<SeqEntry> expected = model.step(t0.entries, parts, id);
    t0.apply_merge(parts, id);
    t3.apply_merge(parts, id);
    EXPECT_EQ(canonical(t0.entries), expected);
    EXPECT_EQ(t0.entries.size(), expected.size()) << "equal sequences left unmerged";
    EXPECT_EQ(t3.entries, t0.entries);
    EXPECT_EQ(to_table(t0.stats), model.stats());
    EXPECT_EQ(to_table(t3.stats), model.stats());
    if (HasFailure()) return;
  }
}

}  // namespace

// Equal sequences that a caller hands in are merged by the first step, touched or not.
TEST(ApplyMerge, MergesEqualSequencesGivenByTheCaller) {
  Zelkor t;
  t.config.n_values = {2};
  t.entries = {{{1, 2}, 3}, {{1, 2}, 4}, {{5}, 1}};
  t.apply_merge(std::vector<uint32_t>{7, 8}, 9);
  EXPECT_EQ(canonical(t.entries), (std::vector<SeqEntry>{{{1, 2}, 7}, {{5}, 1}}));
}
