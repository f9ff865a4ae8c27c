// Merge application: the window rule, the rewrite of one sequence with its change maps, and whole
// merge steps (folds, heap offers, regrouping) checked against fresh recounts and a plain model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/merge.hpp"
#include "core/select.hpp"
#include "core/trainer.hpp"

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os) { *os << debug_string(stat); }
void PrintTo(const SeqEntry& entry, std::ostream* os) { *os << debug_string(entry); }
}  // namespace zelkor

namespace {

using zelkor::GlobalStats;
using zelkor::SeqEntry;
using zelkor::Stat;
using zelkor::StatsMap;
using zelkor::Zelkor;
using Ids = std::vector<uint32_t>;
using Ns = std::vector<uint64_t>;
using Table = std::map<Ids, Stat>;

struct QuietLog : ::testing::Environment {
  void SetUp() override { setenv("LOG_FILE", "/dev/null", 1); }
};
[[maybe_unused]] auto* const quiet_log = ::testing::AddGlobalTestEnvironment(new QuietLog);

Table table_of(const StatsMap& m) {
  Table out;
  for (const auto& [key, st] : m) out[Ids(key.begin(), key.end())] = st;
  return out;
}
Table table_of(const GlobalStats& m) {
  Table out;
  m.for_each([&](const auto& key, const Stat& st) { out[Ids(key.begin(), key.end())] = st; });
  return out;
}

// Ids 0..7 are the one-letter texts a..h; `extra` texts follow.
Zelkor trainer(std::vector<SeqEntry> entries, Ns n_values, std::vector<const char*> extra = {}) {
  Zelkor t;
  for (const char* text : {"a", "b", "c", "d", "e", "f", "g", "h"}) t.interner.intern(text);
  for (const char* text : extra) t.interner.intern(text);
  t.entries = std::move(entries);
  t.config.n_values = std::move(n_values);
  t.stats = t.compute_stats_full();
  return t;
}

// ---- collect_starts -----------------------------------------------------------------------

TEST(CollectStarts, Examples) {
  using Starts = zelkor::StartsMap;
  EXPECT_EQ(zelkor::collect_starts(5, Ns{0, 2}, Ns{2}, 2), (Starts{{2, {0, 1, 2, 3}}}));
  EXPECT_EQ(zelkor::collect_starts(5, Ns{3}, Ns{2}, 2), (Starts{{2, {2, 3}}}));
  EXPECT_EQ(zelkor::collect_starts(5, Ns{}, Ns{2, 3}, 2), Starts{});
  EXPECT_EQ(zelkor::collect_starts(2, Ns{0}, Ns{2, 3}, 2), (Starts{{2, {0}}, {3, {}}}));
  EXPECT_EQ(zelkor::collect_starts(4, Ns{1}, Ns{2, 3}, 1), (Starts{{2, {0, 1}}, {3, {0, 1}}}));
}

TEST(CollectStarts, EqualsOverlapDefinitionOnRandomInputs) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    const uint64_t len = 1 + rng() % 60, k = 1 + rng() % 3;
    Ns positions;
    for (uint64_t p = rng() % 3; p + k <= len; p += k + rng() % 4) positions.push_back(p);
    std::shuffle(positions.begin(), positions.end(), rng);
    const Ns n_values{2, 3, 7};
    zelkor::StartsMap expected;
    for (uint64_t n : n_values) {
      expected.emplace_back(n, Ns{});
      for (uint64_t s = 0; s + n <= len; ++s)
        if (std::ranges::any_of(positions, [&](uint64_t p) { return s < p + k && p < s + n; }))
          expected.back().second.push_back(s);
    }
    if (positions.empty()) expected.clear();
    EXPECT_EQ(zelkor::collect_starts(len, positions, n_values, k), expected) << "len " << len;
  }
}

// ---- One sequence -------------------------------------------------------------------------

struct RewriteCase {
  const char* name;
  Ids tokens, parts;
  Ns n_values;
  Ids expected;  // Z = 9 is the new id
  Table removed, added;
};
void PrintTo(const RewriteCase& c, std::ostream* os) { *os << c.name; }

class Rewrite : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(Rewrite, TokensAndChangeMaps) {
  const RewriteCase& c = GetParam();
  zelkor::MergeBuffers buffers;
  for (int twice = 0; twice < 2; ++twice) {  // the buffers are reused between entries
    zelkor::EntryDelta d =
        zelkor::compute_entry_deltas(SeqEntry{c.tokens, 5}, c.parts, 9, c.n_values, buffers);
    EXPECT_EQ(d.tokens, c.expected);
    EXPECT_EQ(d.freq, 5u);
    EXPECT_EQ(table_of(d.removed), c.removed);
    EXPECT_EQ(table_of(d.added), c.added);
  }
}

constexpr uint32_t p = 0, q = 1, r = 2, s = 3, x = 4, Z = 9;
INSTANTIATE_TEST_SUITE_P(
    Cases, Rewrite,
    ::testing::Values(
        RewriteCase{"xxxx", {x, x, x, x}, {x, x}, {2}, {Z, Z}, {{{x, x}, {3, 3}}},
                    {{{Z, Z}, {1, 1}}}},
        RewriteCase{"xxx", {x, x, x}, {x, x}, {2}, {Z, x}, {{{x, x}, {2, 2}}}, {{{Z, x}, {1, 1}}}},
        RewriteCase{"pqrs", {p, q, r, s}, {q, r}, {2, 3}, {p, Z, s},
                    {{{p, q}, {1, 1}}, {{q, r}, {1, 1}}, {{r, s}, {1, 1}}, {{p, q, r}, {1, 2}},
                     {{q, r, s}, {1, 2}}},
                    {{{p, Z}, {1, 1}}, {{Z, s}, {1, 1}}, {{p, Z, s}, {1, 2}}}},
        RewriteCase{"three_part_key", {p, q, r, p, q, r, s}, {p, q, r}, {3}, {Z, Z, s},
                    {{{p, q, r}, {2, 4}}, {{q, r, p}, {1, 2}}, {{r, p, q}, {1, 2}},
                     {{q, r, s}, {1, 2}}},
                    {{{Z, Z, s}, {1, 2}}}},
        RewriteCase{"shorter_than_key", {q}, {q, r}, {2}, {q}, {}, {}},
        RewriteCase{"no_match", {r, q, s, r}, {q, r}, {2}, {r, q, s, r}, {}, {}},
        RewriteCase{"empty", {}, {q, r}, {2}, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Whole steps --------------------------------------------------------------------------

TEST(ApplyMerge, UntouchedEntriesAndTheirStatsStay) {
  // Shard 0 (the empty entry, then p s) comes before shard 1 (q, then Z = 9).
  Zelkor t = trainer({{{q}, 2}, {{}, 3}, {{p, s}, 4}, {{q, r}, 5}}, {2});
  t.apply_merge(Ids{q, r}, Z);
  EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{}, 3}, {{p, s}, 4}, {{q}, 2}, {{Z}, 5}}));
  EXPECT_EQ(table_of(t.stats), (Table{{{p, s}, {4, 4}}}));
}

TEST(ApplyMerge, MergedTextAlreadyAToken) {
  // "ab" is already the token d, so a b c becomes d c, like the existing entry.
  Zelkor t = trainer({{{0, 1, 2}, 2}, {{3, 2}, 3}}, {2});
  t.apply_merge(Ids{0, 1}, 3);
  EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{3, 2}, 5}}));
  EXPECT_EQ(table_of(t.stats), (Table{{{3, 2}, {5, 5}}}));

  // "ab" is c: c a b a c becomes c c a c, so (c, a) is both lost and gained by one entry. The
  // loss folds first: 3 - 2 leaves 1, the key is erased, and the gain re-inserts it at 2.
  Zelkor u = trainer({{{2, 0, 1, 0, 2}, 2}, {{2, 0}, 1}}, {2});
  u.apply_merge(Ids{0, 1}, 2);
  EXPECT_EQ(u.entries, (std::vector<SeqEntry>{{{2, 2, 0, 2}, 2}, {{2, 0}, 1}}));
  EXPECT_EQ(table_of(u.stats)[Ids({2, 0})], (Stat{2, 2}));
}

TEST(ApplyMerge, RecomputeEachStepLeavesStatsAlone) {
  Zelkor t = trainer({{{x, x, x, p}, 2}, {{p, x, x}, 3}}, {2, 3});
  t.config.recompute_each_step = true;
  const Table before = table_of(t.stats);
  t.apply_merge(Ids{x, x}, Z);
  EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{p, Z}, 3}, {{Z, x, p}, 2}}));
  EXPECT_EQ(table_of(t.stats), before);
}

TEST(ApplyMerge, HeapReceivesKeysThatTheFoldCreated) {
  // b c a b c a and b c D b c D (D = "cccc") with (b, c) -> "bc": (bc, a) and (bc, D) reach
  // frequency 2 within one entry each; only (bc, a) fits the four-character limit.
  constexpr uint32_t a = 0, b = 1, c = 2, D = 8;
  Zelkor t = trainer({{{b, c, a, b, c, a}, 1}, {{b, c, D, b, c, D}, 1}}, {2}, {"cccc"});
  t.config.use_heap = true;
  t.config.max_token_chars = 4;
  const uint32_t bc = t.interner.intern("bc");
  t.apply_merge(Ids{b, c}, bc);
  Table after = table_of(t.stats);
  ASSERT_EQ(after[Ids({bc, a})], (Stat{2, 2}));
  ASSERT_EQ(after[Ids({bc, D})], (Stat{2, 2}));
  auto in_heap = [&](Ids key) {
    return std::ranges::count_if(t.heap, [&](const auto& cand) {
      return Ids(cand.key.begin(), cand.key.end()) == key && cand.score == 2 && cand.len == 2;
    });
  };
  EXPECT_GE(in_heap({bc, a}), 1);
  EXPECT_EQ(in_heap({bc, D}), 0);
  EXPECT_TRUE(std::is_heap(t.heap.begin(), t.heap.end(), zelkor::candidate_less));
}

// The expected entries after merging `parts` into `id`: greedy rewrite, then shards by first
// token mod 8 in index order, equal vectors merged at their first occurrence.
std::vector<SeqEntry> model_step(const std::vector<SeqEntry>& entries, const Ids& parts,
                                 uint32_t id) {
  std::vector<std::vector<SeqEntry>> shards(8);
  for (const SeqEntry& e : entries) {
    Ids out;
    for (size_t i = 0; i < e.tokens.size();) {
      bool hit = i + parts.size() <= e.tokens.size() &&
                 std::equal(parts.begin(), parts.end(), e.tokens.begin() + i);
      out.push_back(hit ? id : e.tokens[i]);
      i += hit ? parts.size() : 1;
    }
    auto& shard = shards[out.empty() ? 0 : out[0] % 8];
    auto same = std::ranges::find(shard, out, &SeqEntry::tokens);
    if (same != shard.end()) same->freq += e.freq; else shard.push_back({out, e.freq});
  }
  std::vector<SeqEntry> flat;
  for (auto& shard : shards) flat.insert(flat.end(), shard.begin(), shard.end());
  return flat;
}

// Random steps on two trainers (0 and 3 workers). With every count at least 2 no gain of 1 is
// ever dropped and no kept key falls to 1, so the folded statistics must equal a recount.
class Steps : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Steps, MatchModelAndRecount) {
  const uint32_t min_freq = GetParam();
  std::mt19937 rng(11 + min_freq);
  std::vector<SeqEntry> entries;
  std::set<Ids> seen;
  while (entries.size() < 400) {
    Ids tokens(rng() % 10);
    for (auto& id : tokens) id = rng() % 6;
    if (seen.insert(tokens).second) entries.push_back({tokens, min_freq + uint32_t(rng() % 4)});
  }
  Zelkor t0 = trainer(entries, {2, 3, 4}), t3 = trainer(entries, {2, 3, 4});
  t3.config.num_workers = 3;
  uint32_t next_id = 8;
  uint64_t freq_total = 0;
  for (const SeqEntry& e : entries) freq_total += e.freq;
  for (int step = 0; step < 12; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    Table before = table_of(t0.stats), exact_before = table_of(t0.compute_stats_full());
    const size_t len = 2 + step % 2;  // alternate two- and three-id keys
    const Ids parts = std::ranges::max_element(exact_before, {}, [&](const auto& kv) {
      return std::pair(kv.first.size() == len, kv.second.freq);
    })->first;
    const std::vector<SeqEntry> expected = model_step(t0.entries, parts, next_id);
    t0.apply_merge(parts, next_id);
    t3.apply_merge(parts, next_id);
    ++next_id;
    EXPECT_EQ(t0.entries, expected);
    EXPECT_EQ(t3.entries, expected);
    std::set<Ids> distinct;
    uint64_t total = 0;
    for (const SeqEntry& e : t0.entries) distinct.insert(e.tokens), total += e.freq;
    EXPECT_EQ(distinct.size(), t0.entries.size());
    EXPECT_EQ(total, freq_total);
    EXPECT_EQ(table_of(t3.stats), table_of(t0.stats));
    const Table after = table_of(t0.stats), exact = table_of(t0.compute_stats_full());
    if (min_freq >= 2) {
      EXPECT_EQ(after, exact);
      continue;
    }
    // Counts of 1: the folds only lose what they are allowed to lose, and only on touched keys.
    for (const auto& [key, stat] : after) {
      const Stat truth = exact.contains(key) ? exact.at(key) : Stat{};
      EXPECT_LE(stat.freq, truth.freq);
      const bool changed = !before.contains(key) || before.at(key) != stat;
      EXPECT_TRUE(!changed || stat.freq >= 2);
    }
    for (const auto& [key, stat] : exact) {
      const bool recount_same = exact_before.contains(key) && exact_before.at(key) == stat;
      if (recount_same && before.contains(key)) {
        EXPECT_TRUE(after.contains(key) && after.at(key) == before.at(key));
      }
    }
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(MinCount, Steps, ::testing::Values(1u, 2u));

}  // namespace
