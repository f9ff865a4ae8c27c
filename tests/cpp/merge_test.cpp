// Merge application: the rewrite of one sequence with its lost and gained windows, equal input
// sequences, and whole merge steps checked against the naive model on the serial and the
// parallel path, with the occurrence lists rebuilt at every step or never.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/stats_fold.hpp"
#include "core/rewrite.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"

namespace {

using namespace zelkor;
using zelkor::testing::canonical;
using zelkor::testing::overlapping_windows;
using zelkor::testing::StatsTable;
using zelkor::testing::to_table;
using Ids = std::vector<uint32_t>;
using Ns = std::vector<uint64_t>;

const bool kQuiet = zelkor::testing::quiet_log();

// rewrite_sequence (the match search, the rewrite and list_windows) against the model: each
// destroyed or created window listed once, equal n-grams counted together. One set of buffers
// serves every sequence, as on one task.
TEST(Rewrite, MatchesTheModelOnRandomSequences) {
  std::mt19937 rng(3);
  const Ns n_values{2, 3, 7};
  MergeBuffers buffers;
  for (int round = 0; round < 600; ++round) {
    Ids seq(rng() % 40), parts(1 + rng() % 3);
    for (uint32_t& id : seq) id = rng() % 3;
    for (uint32_t& id : parts) id = rng() % 3;
    SCOPED_TRACE(::testing::PrintToString(seq) + " at " + ::testing::PrintToString(parts));
    Ns matches, placed;
    const Ids expected = zelkor::testing::rewrite(seq, parts, 9, matches, placed);
    ASSERT_EQ(rewrite_sequence(seq, parts, 9, n_values, buffers), !matches.empty());
    EXPECT_EQ(buffers.rewritten, matches.empty() ? Ids{} : expected);
    if (matches.empty()) continue;
    const StatsTable removed = overlapping_windows(seq, matches, parts.size(), n_values);
    const StatsTable added = overlapping_windows(expected, placed, 1, n_values);
    EXPECT_EQ(to_table(window_stats(buffers.removed, seq)), removed);
    EXPECT_EQ(to_table(window_stats(buffers.added, expected)), added);
    EXPECT_EQ(buffers.removed.size() + buffers.added.size(), removed.size() + added.size())
        << "equal n-grams left apart";
  }
}

// Equal sequences that a caller hands in are merged before the step folds, so their gain (9, 5)
// counts twice instead of being dropped twice as a gain of 1. Without folding
// (recompute_each_step) the statistics stay as they were.
TEST(ApplyMerge, EqualInputSequencesAndRecomputeEachStep) {
  for (bool recompute : {false, true}) {
    Zelkor t;
    t.entries = {{{1, 2, 5}, 1}, {{0}, 1}, {{1, 2, 5}, 1}};
    t.config.n_values = {2};
    t.config.recompute_each_step = recompute;
    t.stats = t.compute_stats_full();
    const StatsTable before = to_table(t.stats);
    t.apply_merge(Ids{1, 2}, 9);
    EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{9, 5}, 2}, {{0}, 1}}));
    EXPECT_EQ(to_table(t.stats), (recompute ? before : StatsTable{{{9, 5}, {2, 2}}}));
  }
}

// Merges of the most frequent two- or three-id key over 1,000 distinct sequences with counts of
// 1 to 4. Without an interner every third step reuses an id already present, so a key can be both
// lost and gained by one sequence and sequences can become equal (regrouped after every step);
// with one, ids spell letters and their concatenations, every sequence keeps its own text, and
// the occurrence lists live across steps. Every way of running a step must match the model.
TEST(MergeStep, RandomStepsMatchTheModelOnEveryPath) {
  std::mt19937 rng(11);
  std::vector<SeqEntry> entries;
  std::set<Ids> seen;
  while (entries.size() < 1000) {
    Ids tokens(rng() % 10);
    for (auto& id : tokens) id = rng() % 6;
    if (seen.insert(tokens).second) entries.push_back({tokens, 1 + uint32_t(rng() % 4)});
  }
  const Ns n_values{2, 3, 4};
  const struct Path {
    const char* name;
    size_t serial_below;
    ListLimits lists;
    uint64_t pool_threads;
    bool texts;
  } paths[] = {{"serial", SIZE_MAX, {}, 0, false},
               {"parallel on 3 threads", 0, {}, 3, false},
               {"serial, lists rebuilt each step", SIZE_MAX, {0, 0}, 0, true},
               {"parallel, lists rebuilt each step", 0, {0, 0}, 0, true}};
  for (const Path& path : paths) {
    SCOPED_TRACE(path.name);
    const std::unique_ptr<ThreadPool> pool = per_call_pool(path.pool_threads, "test pool");
    const MergeStepConfig config{n_values, pool.get(), path.serial_below};
    GlobalStats stats = count_stats(entries, n_values);
    Interner interner;
    for (const char* letter : {"a", "b", "c", "d", "e", "f"}) interner.intern(letter);
    EntryIndex index(std::vector<SeqEntry>(entries), path.texts ? &interner : nullptr,
                     path.lists);
    ASSERT_EQ(index.entries_may_collide(), !path.texts);
    zelkor::testing::NaiveTrainer model{zelkor::testing::count_all_windows(entries, n_values),
                                        n_values};
    for (uint32_t step = 0; step < 12 && !HasFailure(); ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const size_t len = 2 + step % 2;
      const NgramKey parts = std::ranges::max_element(model.stats, {}, [&](const auto& kv) {
        return std::pair(kv.first.size() == len, kv.second.freq);
      })->first;
      uint32_t id = step % 3 == 2 ? parts[0] : 8 + step;
      if (path.texts) {
        std::string text;
        for (uint32_t part : parts) text += interner.id_to_token[part];
        id = interner.intern(text);
      }
      // The model folds in the index's entry order: the saturating rules make the order matter.
      const std::vector<SeqEntry> expected = model.step(index.snapshot(), parts, id);
      StatsFold fold(stats, HeapOffers{});
      merge_step(parts, id, config, index, &fold);
      const std::vector<SeqEntry> now = index.snapshot();
      EXPECT_EQ(canonical(now), expected);
      EXPECT_EQ(now.size(), expected.size()) << "equal sequences left unmerged";
      EXPECT_EQ(to_table(stats), model.stats);
      // Within the limits, or freshly rebuilt (at most one place per token).
      EXPECT_LE(index.listed_places(),
                std::max(path.lists.per_token * index.live_tokens() + path.lists.slack,
                         index.live_tokens()));
    }
  }
}

}  // namespace
