// The single-process merge loop: statistics and sequences checked against a naive model after
// every step, independence from the thread count, stop conditions with their log lines, real text.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os) { *os << debug_string(stat); }
void PrintTo(const SeqEntry& entry, std::ostream* os) { *os << debug_string(entry); }
}  // namespace zelkor

namespace {

using namespace zelkor;
using zelkor::testing::canonical;
using zelkor::testing::count_all_windows;
using zelkor::testing::NaiveTrainer;
using zelkor::testing::to_table;
using Strings = std::vector<std::string>;

// No log file in the working directory; debug lines on. Set before the first log line.
const bool kLogEnv = [] {
  setenv("LOG_FILE", "/dev/null", 1);
  setenv("LOG_LEVEL", "3", 1);
  return true;
}();

// Captured log lines as "tag|message", each duration "1.234s" rewritten as "N.ddds".
template <typename F>
Strings logged(F&& run) {
  ::testing::internal::CaptureStderr();
  run();
  std::istringstream in(::testing::internal::GetCapturedStderr());
  static const std::regex line_re(R"(^\[[^\]]*\]\[pid=\d+\]\[([^\]]*)\] (.*)$)");
  static const std::regex secs_re(R"(\d+\.(\d+)s)");
  Strings out;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, line_re)) {
      ADD_FAILURE() << "unparsable log line: " << line;
      continue;
    }
    std::string msg = m[2], norm;
    auto last = msg.cbegin();
    for (std::sregex_iterator it(msg.begin(), msg.end(), secs_re), end; it != end; ++it) {
      norm.append(last, (*it)[0].first).append("N." + std::string((*it)[1].length(), 'd') + "s");
      last = (*it)[0].second;
    }
    out.push_back(m[1].str() + "|" + norm.append(last, msg.cend()));
  }
  return out;
}

uint64_t total_tokens(const Zelkor& t) {
  uint64_t sum = 0;
  for (const SeqEntry& e : t.entries) sum += uint64_t{e.freq} * e.tokens.size();
  return sum;
}

using MergeView = std::tuple<Strings, std::string, uint64_t, uint32_t>;
std::vector<MergeView> merges_of(const Zelkor& t) {
  std::vector<MergeView> out;
  for (const MergeRule& m : t.merges) out.emplace_back(m.parts, m.merged, m.score, m.freq);
  return out;
}

// A trainer over hand-written sequences ("|"-separated token texts with a count), counted.
using Specs = std::vector<std::pair<const char*, uint32_t>>;
Zelkor hand_trainer(const Specs& specs, std::vector<uint64_t> n_values) {
  Zelkor t;
  for (const auto& [spec, freq] : specs) {
    NgramKey key = zelkor::testing::key_of(t.interner, spec);
    t.entries.push_back(SeqEntry{TokenIds(key.begin(), key.end()), freq});
  }
  t.config.n_values = std::move(n_values);
  t.config.aim_token_num = 0;
  logged([&] { t.rebuild_global_stats(); });
  return t;
}

Zelkor trained(const Zelkor& start, uint64_t num_merges) {
  Zelkor t = start;
  t.config.num_merges = num_merges;
  logged([&] { t.train_single(); });
  return t;
}

// A trainer over random lines of 0 to 12 characters; every third seed instead draws token
// sequences from texts that concatenate alike ("a"+"aa" = "aa"+"a"), so merged texts often
// exist already.
Zelkor random_trainer(uint32_t seed, const std::vector<uint64_t>& n_values, bool use_heap) {
  std::mt19937 rng(seed);
  Zelkor t;
  t.config.n_values = n_values;
  t.config.use_heap = use_heap;
  t.config.aim_token_num = 0;
  if (seed % 3 == 0) {
    const Strings texts = {"a", "aa", "aaa", "b"};
    for (const std::string& text : texts) t.interner.intern(text);
    std::vector<SeqEntry> entries(30);
    for (SeqEntry& e : entries) {
      e.tokens.resize(rng() % 9);
      for (uint32_t& id : e.tokens) id = rng() % texts.size();
      e.freq = 1 + rng() % 3;
    }
    t.entries = canonical(std::move(entries));
  } else {
    const std::string alphabet = seed % 2 ? "ab c" : "ab  cd";
    Strings lines(40 + seed % 20);
    for (std::string& line : lines) {
      line.resize(rng() % 13);
      for (char& c : line) c = alphabet[rng() % alphabet.size()];
    }
    EXPECT_TRUE(t.build_vocab(lines));
  }
  t.total_chars = total_tokens(t);
  logged([&] { t.rebuild_global_stats(); });
  return t;
}

struct Mode {
  std::vector<uint64_t> n_values;
  bool use_heap;
};
void PrintTo(const Mode& m, std::ostream* os) {
  *os << "n=2.." << m.n_values.back() << (m.use_heap ? " heap" : " scan");
}

class RandomCorpus : public ::testing::TestWithParam<Mode> {};

// Runs the loop for 1, 2, ... steps from the same start, so that each step of the real loop (with
// its heap carried across steps) is compared with the model stepped from the previous state.
void expect_steps_match_model(const Zelkor& start, uint64_t max_steps) {
  const std::vector<uint64_t>& n_values = start.config.n_values;
  NaiveTrainer model(count_all_windows(start.entries, n_values), n_values);
  ASSERT_EQ(to_table(start.stats), model.stats());
  Zelkor prev = start;
  for (uint64_t k = 1; k <= max_steps; ++k) {
    SCOPED_TRACE("step " + std::to_string(k - 1));
    Zelkor cur = trained(start, k);
    const auto pick = model.best();
    if (cur.merges.size() < k) {  // no candidate left: the model agrees, nothing changed
      EXPECT_FALSE(pick.has_value());
      EXPECT_EQ(cur.merges.size(), k - 1);
      EXPECT_EQ(cur.entries, prev.entries);
      return;
    }
    ASSERT_TRUE(pick.has_value());
    const MergeRule& rule = cur.merges.back();
    NgramKey parts;
    for (const std::string& p : rule.parts) parts.push_back(cur.interner.token_to_id.at(p));
    ASSERT_EQ(parts, pick->first);
    EXPECT_EQ(rule.freq, pick->second.freq);
    EXPECT_EQ(rule.score, pick->second.score);
    const bool known = prev.interner.token_to_id.contains(rule.merged);
    EXPECT_EQ(cur.interner.size(), prev.interner.size() + (known ? 0 : 1));

    const auto expected = model.step(prev.entries, parts, cur.interner.token_to_id.at(rule.merged));
    EXPECT_EQ(canonical(cur.entries), expected);
    EXPECT_EQ(cur.entries.size(), expected.size()) << "equal sequences left unmerged";
    EXPECT_EQ(to_table(cur.stats), model.stats());
    EXPECT_LT(total_tokens(cur), total_tokens(prev));
    auto total_freq = [](const Zelkor& t) {
      uint64_t sum = 0;
      for (const SeqEntry& e : t.entries) sum += e.freq;
      return sum;
    };
    EXPECT_EQ(total_freq(cur), total_freq(prev));
    if (::testing::Test::HasFailure()) return;
    prev = std::move(cur);
  }
}

TEST_P(RandomCorpus, EveryStepMatchesTheNaiveModel) {
  const auto& [n_values, use_heap] = GetParam();
  for (uint32_t seed = 1; seed <= 10 && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_steps_match_model(random_trainer(seed, n_values, use_heap), 12);
  }
}

// With "aa" already a token, merging (a, a) makes (aa, a) both lost and gained, and the fold
// order decides whether the key drops to 1 (and is erased) on the way.
TEST(FoldOrder, DecidesWhenTheMergedTextExists) {
  struct Case {
    Specs entries;
    uint32_t aa_a_after;  // freq of (aa, a) after the merge
  } cases[] = {
      {{{"aa|a|a", 2}, {"a|a|a", 2}, {"aa|a", 1}}, 2},  // 3 - 2 = 1 (erased), then + 2
      {{{"a|a|a", 2}, {"aa|a|a", 2}, {"aa|a", 1}}, 3},  // 3 + 2 - 2
      {{{"aa|a|a|a", 3}, {"aa|a", 1}}, 3},              // one entry: loss before gain
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries.front().first);
    Zelkor t = hand_trainer(c.entries, {2});
    expect_steps_match_model(t, 3);
    const Zelkor once = trained(t, 1);
    const NgramKey aa_a = zelkor::testing::key_of(t.interner, "aa|a");
    ASSERT_EQ(once.merges.at(0).merged, "aa");
    ASSERT_NE(once.stats.find(aa_a), nullptr);
    EXPECT_EQ(once.stats.find(aa_a)->freq, c.aa_a_after);
  }
}

TEST_P(RandomCorpus, ThreadCountChangesNothing) {
  const auto& [n_values, use_heap] = GetParam();
  for (uint32_t seed = 20; seed < 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Zelkor start = random_trainer(seed, n_values, use_heap);
    Zelkor threaded_start = start;
    threaded_start.config.num_workers = 3;
    const Zelkor one = trained(start, 25), three = trained(threaded_start, 25);
    EXPECT_EQ(one.entries, three.entries);
    EXPECT_EQ(to_table(one.stats), to_table(three.stats));
    EXPECT_EQ(merges_of(one), merges_of(three));
    EXPECT_EQ(one.interner.id_to_token, three.interner.id_to_token);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomCorpus,
                         ::testing::Values(Mode{{2, 3}, false}, Mode{{2, 3}, true},
                                           Mode{{2, 3, 4}, false}, Mode{{2, 3, 4}, true}),
                         [](const auto& info) {
                           return "Max" + std::to_string(info.param.n_values.back()) +
                                  (info.param.use_heap ? "Heap" : "Scan");
                         });

// ---- Stop conditions and log lines -----------------------------------------------------------

struct LogCase {
  const char* name;
  Specs entries;  // counted with n_values [2, 3]
  uint64_t num_merges, aim, total_chars;
  std::vector<std::pair<const char*, const char*>> env;
  Strings lines;
  size_t vocab_after;  // interner size after the run
};
void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

std::string start_line(uint64_t merges) {
  return fmt::format(
      "train_single|start merges={} n_values=[2, 3] recompute_each_step=false use_heap=false "
      "num_workers=0",
      merges);
}
std::string merge_line(const char* step_freq_score) {
  return std::string("merge|") + step_freq_score +
         " stats=N.ddds apply=N.ddds total=N.ds [single]";
}
std::string tpc_line(const char* counts) {
  return std::string("tpc|") + counts + " tok/char elapsed=N.ddds [single]";
}

class LoopLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(LoopLog, WritesExactlyTheseLines) {
  const LogCase& c = GetParam();
  Zelkor t = hand_trainer(c.entries, {2, 3});
  t.config.num_merges = c.num_merges;
  t.config.aim_token_num = c.aim;
  t.total_chars = c.total_chars;
  for (const auto& [name, value] : c.env) setenv(name, value, 1);
  const Strings lines = logged([&] { t.train_single(); });
  for (const auto& [name, value] : c.env) unsetenv(name);
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(t.interner.size(), c.vocab_after);
  EXPECT_EQ(t.merges.size(), std::ranges::count_if(c.lines, [](const std::string& l) {
              return l.starts_with("merge|");
            }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoopLog,
    ::testing::Values(
        LogCase{"NoMerges", {{"a|b", 2}}, 0, 0, 4, {},
                {start_line(0), tpc_line("total_tokens=4 total_chars=4 tpc=1.000000")}, 2},
        LogCase{"AimMetBeforehandStillMergesOnce", {{"a|b", 2}, {"c", 1}}, 9, 3, 10, {},
                {start_line(9), merge_line("     0: freq=2 score=2"),
                 "train_single|reach aim_token_num=3 (vocab_size=9), stop at step 1 "
                 "(elapsed_total=N.dds)",
                 tpc_line("total_tokens=3 total_chars=10 tpc=0.300000")},
                4},
        LogCase{"AimReachedExactly", {{"a|b", 2}, {"c", 1}}, 9, 9, 10, {},
                {start_line(9), merge_line("     0: freq=2 score=2"),
                 "train_single|reach aim_token_num=9 (vocab_size=9), stop at step 1 "
                 "(elapsed_total=N.dds)",
                 tpc_line("total_tokens=3 total_chars=10 tpc=0.300000")},
                4},
        LogCase{"EmptyStatsAndNoChars", {{"a", 3}, {"b", 1}}, 5, 0, 0, {},
                {start_line(5), "train_single|step 0 stats empty, stop (elapsed_total=N.dds)",
                 tpc_line("total_tokens=4 total_chars=0 tpc=0.000000")},
                2},
        LogCase{"OnlySingletonKeys", {{"a|b", 1}, {"b|a|c", 1}}, 5, 0, 5, {},
                {start_line(5), tpc_line("total_tokens=5 total_chars=5 tpc=1.000000")}, 3},
        // "ab" is already a token: the merge reuses it, folds both sequences into one, and the
        // vocabulary (3 ids + 5 specials) stays below the aim of 9.
        LogCase{"MergedTextAlreadyAToken", {{"a|b", 2}, {"ab", 3}}, 5, 9, 7, {},
                {start_line(5), merge_line("     0: freq=2 score=2"),
                 "train_single|step 1 stats empty, stop (elapsed_total=N.dds)",
                 tpc_line("total_tokens=5 total_chars=7 tpc=0.714286")},
                3},
        LogCase{"DebugPairWithoutComma", {{"a|b", 2}}, 1, 0, 4, {{"DEBUG_PAIR", "ab"}},
                {start_line(1), merge_line("     0: freq=2 score=2"),
                 tpc_line("total_tokens=2 total_chars=4 tpc=0.500000")},
                3},
        LogCase{"DebugPairOfUnknownTexts", {{"a|b", 2}}, 1, 0, 4, {{"DEBUG_PAIR", "x,y"}},
                {start_line(1), "train_single|[debug-pair-ids] step 0 ids=(2, 3)",
                 "train_single|[debug-pair-lookup] step 0 not found",
                 merge_line("     0: freq=2 score=2"),
                 tpc_line("total_tokens=2 total_chars=4 tpc=0.500000")},
                5},
        LogCase{"DebugPairKnownUsesFirstTwoParts", {{"a|b", 2}}, 1, 0, 4,
                {{"DEBUG_PAIR", "a,b,zz"}},
                {start_line(1), "train_single|[debug-pair-ids] step 0 ids=(0, 1)",
                 "train_single|[debug-pair-lookup] step 0 freq=2 score=2",
                 merge_line("     0: freq=2 score=2"),
                 tpc_line("total_tokens=2 total_chars=4 tpc=0.500000")},
                3},
        LogCase{"DebugPairOfEmptyTexts", {{"a|b", 2}}, 1, 0, 4, {{"DEBUG_PAIR", ","}},
                {start_line(1), "train_single|[debug-pair-ids] step 0 ids=(2, 2)",
                 "train_single|[debug-pair-lookup] step 0 not found",
                 merge_line("     0: freq=2 score=2"),
                 tpc_line("total_tokens=2 total_chars=4 tpc=0.500000")},
                4},
        // Merging (a, b) loses (b, c) and (b, d) for good, while the gains (X, c), (X, d) of
        // weight 1 are dropped: two keys of the recount are missing from then on.
        LogCase{"VerifyReportsDriftFromRecount", {{"a|b|c", 1}, {"a|b|d", 1}}, 5, 0, 6,
                {{"VERIFY_STATS", ""}, {"VERIFY_PRE", "0"}},
                {start_line(5), merge_line("     0: freq=2 score=2"),
                 "train_single|[verify] step 0 diff=0, missing=2, extra=0",
                 "train_single|[verify-pre] step 1 diff=0, missing=2, extra=0",
                 "train_single|step 1 stats empty, stop (elapsed_total=N.dds)",
                 tpc_line("total_tokens=4 total_chars=6 tpc=0.666667")},
                5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoopLog, StepNumbersAreRightAligned) {
  // 2^12 copies of one token halve at every step: step s merges a key of frequency 2^(12-s) - 1;
  // the last pair's weight-1 gain is dropped, which leaves the statistics empty.
  Zelkor t;
  t.entries.push_back(SeqEntry{TokenIds(4096, t.interner.intern("x")), 1});
  t.config.n_values = {2};
  t.config.num_merges = 20;
  t.config.aim_token_num = 0;
  t.total_chars = 4096;
  logged([&] { t.rebuild_global_stats(); });
  const Strings lines = logged([&] { t.train_single(); });
  ASSERT_EQ(lines.size(), 14u);
  for (int s = 0; s <= 10; ++s) {
    const uint32_t freq = (1u << (12 - s)) - 1;
    EXPECT_EQ(lines[1 + s],
              merge_line(fmt::format("{:>6}: freq={} score={}", s, freq, freq).c_str()));
  }
  EXPECT_EQ(lines[12], "train_single|step 11 stats empty, stop (elapsed_total=N.dds)");
  EXPECT_EQ(lines[13], tpc_line("total_tokens=2 total_chars=4096 tpc=0.000488"));
  EXPECT_EQ(t.merges.back().merged, std::string(2048, 'x'));
}

TEST(LoopLog, HeapIsRebuiltOrEmptiedEvenWithoutSteps) {
  for (bool use_heap : {false, true}) {
    Zelkor t = hand_trainer({{"a|b|a|b", 1}}, {2});
    t.config.num_merges = 0;
    t.heap.assign(3, Candidate{NgramKey{7, 7}, 99, 2});  // stale leftovers
    t.config.use_heap = use_heap;
    logged([&] { t.train_single(); });
    ASSERT_EQ(t.heap.size(), use_heap ? 1u : 0u);  // only (a, b) has frequency 2
    if (use_heap) {
      EXPECT_EQ(t.heap.front().key, (NgramKey{0, 1}));
    }
  }
}

// ---- Real text ---------------------------------------------------------------------------------

Strings license_lines(size_t limit) {
  Strings lines;
  const std::filesystem::path dir = "/usr/share/common-licenses";
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(dir, ec)) {
    if (f.is_regular_file()) files.push_back(f.path());
  }
  std::ranges::sort(files);
  for (const auto& path : files) {
    std::ifstream in(path);
    for (std::string line; lines.size() < limit && std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

TEST(RealText, ReachesTheAimWhileTokensPerCharFall) {
  const Strings lines = license_lines(2000);
  if (lines.size() < 1000) GTEST_SKIP() << "no license texts on this machine";
  Zelkor start;
  start.config.n_values = {2, 3};
  start.config.aim_token_num = 250;
  ASSERT_TRUE(start.build_vocab(lines));
  start.total_chars = total_tokens(start);
  logged([&] { start.rebuild_global_stats(); });
  const uint64_t initial_vocab = vocab_size_with_specials(start.interner);
  ASSERT_LT(initial_vocab, 200u);

  Zelkor full = start;
  const Strings log = logged([&] { full.train_single(); });
  ASSERT_GE(log.size(), 2u);
  const std::string aim_line = fmt::format(
      "train_single|reach aim_token_num=250 (vocab_size=250), stop at step {} "
      "(elapsed_total=N.dds)",
      full.merges.size());
  EXPECT_EQ(log[log.size() - 2], aim_line);
  EXPECT_GE(full.merges.size(), 250 - initial_vocab);

  // The same run one step per call (the scan keeps no state between calls).
  Zelkor stepped = start;
  stepped.config.aim_token_num = 0;
  double tpc = 1.0;
  while (stepped.merges.size() < full.merges.size()) {
    stepped.config.num_merges = 1;
    logged([&] { stepped.train_single(); });
    const double now = double(total_tokens(stepped)) / double(stepped.total_chars);
    ASSERT_LT(now, tpc) << "after step " << stepped.merges.size();
    tpc = now;
  }
  EXPECT_EQ(merges_of(stepped), merges_of(full));
  EXPECT_EQ(to_table(stepped.stats), to_table(full.stats));
  EXPECT_LT(tpc, 0.6);
  EXPECT_GE(std::ranges::max(full.interner.char_lens), 4u);
}

}  // namespace
