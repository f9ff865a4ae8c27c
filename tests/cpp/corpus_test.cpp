// Corpus counting and trainer construction: the parallel line counter, the count merge, the
// initial vocabulary and sequences, new_from_counts, and awkward corpora trained end to end.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/corpus.hpp"
#include "core/trainer.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace {

using namespace zelkor;
using zelkor::testing::with_ends;
using Strings = std::vector<std::string>;
using Counts = std::map<std::string, uint32_t>;

// No log file in the working directory. Set before the first log line.
const bool kLogEnv = [] { return setenv("LOG_FILE", "/dev/null", 1) == 0; }();

template <typename F>
std::string stderr_of(F&& run) {
  ::testing::internal::CaptureStderr();
  run();
  return ::testing::internal::GetCapturedStderr();
}

Counts sorted(const SeqCounts& counts) { return Counts(counts.begin(), counts.end()); }

SeqCounts seq_counts(const Counts& counts) { return SeqCounts(counts.begin(), counts.end()); }

// Each entry as its token texts joined by "|", with its count; entries must be distinct.
Counts entry_texts(const Zelkor& t) {
  Counts out;
  for (const SeqEntry& e : t.entries) {
    std::string text;
    for (uint32_t id : e.tokens) text += (text.empty() ? "" : "|") + t.interner.id_to_token.at(id);
    EXPECT_TRUE(out.emplace(text, e.freq).second) << "duplicate sequence " << text;
  }
  return out;
}

std::set<std::string> vocabulary(const Zelkor& t) {
  return {t.interner.id_to_token.begin(), t.interner.id_to_token.end()};
}

uint64_t total_tokens(const Zelkor& t) {
  uint64_t sum = 0;
  for (const SeqEntry& e : t.entries) sum += uint64_t{e.freq} * e.tokens.size();
  return sum;
}

// ---- Counting lines ------------------------------------------------------------------------

struct CountCase {
  const char* name;
  Strings lines;
  Counts expected;  // "_" stands for the end-of-word mark
};
void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

class CountLines : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountLines, OnOneAndOnThreeThreads) {
  Counts expected;
  for (const auto& [key, n] : GetParam().expected) expected[with_ends(key)] = n;
  for (uint64_t threads : {1, 3}) {
    ThreadPool pool(threads, "test pool");
    EXPECT_EQ(sorted(build_counts_chunk(pool, GetParam().lines)), expected) << threads;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountLines,
    ::testing::Values(
        CountCase{"NoLines", {}, {}},
        CountCase{"SameLineTwice", {"a b", "a b"}, {{"a_b_", 2}}},
        CountCase{"WhiteSpaceVariants", {"a b", "  a   b ", "a\tb", "ab"},
                  {{"a_b_", 3}, {"ab_", 1}}},
        CountCase{"BlankLinesShareTheEmptyKey", {"", "   ", "\t\n", "x"}, {{"", 3}, {"x_", 1}}},
        CountCase{"WideCharacters", {"\xC3\xA9 \xE6\x97\xA5", "\xF0\x9F\x98\x80"},
                  {{"\xC3\xA9_\xE6\x97\xA5_", 1}, {"\xF0\x9F\x98\x80_", 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CountLines, ManyLinesSplitAcrossThreadsCountLikeOneLoop) {
  std::mt19937 rng(7);
  const Strings variants = {"to be", " to  be ", "or not", "", "to be or", "\xC3\xA9t\xC3\xA9"};
  Strings lines(20000);
  Counts expected;
  for (std::string& line : lines) {
    line = variants[rng() % variants.size()];
    expected[Zelkor::normalized_text(line)] += 1;
  }
  ThreadPool pool(3, "test pool");
  EXPECT_EQ(sorted(build_counts_chunk(pool, lines)), expected);
}

TEST(MergeCounts, AddsRightIntoLeftWrappingAt32Bits) {
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  struct Case {
    Counts left, right, sum;
  } cases[] = {
      {{}, {}, {}},
      {{{"a", 1}}, {}, {{"a", 1}}},
      {{}, {{"a", 1}}, {{"a", 1}}},
      {{{"a", kMax}, {"b", 4}}, {{"a", 2}}, {{"a", 1}, {"b", 4}}},
      // The larger right side, and a count that wraps to exactly 0 (the key stays).
      {{{"a", 1}}, {{"a", kMax}, {"b", 1}, {"c", 7}}, {{"a", 0}, {"b", 1}, {"c", 7}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sorted(merge_sequence_counts(seq_counts(c.left), seq_counts(c.right))), c.sum);
  }
}

// ---- The initial vocabulary and sequences ---------------------------------------------------

TEST(BuildVocab, EmptyCorpusGivesNothing) {
  Zelkor t;
  ASSERT_TRUE(t.build_vocab(Strings{}));
  EXPECT_TRUE(t.entries.empty());
  EXPECT_EQ(t.interner.size(), 0u);
}

TEST(BuildVocab, SequencesAndSymbolsOfTheCorpus) {
  const std::string e = "\xC3\xA9", smile = "\xF0\x9F\x98\x80";
  const Strings lines = {"ab a", " b" + e + "  ", "ab a", "\t", smile + "a"};
  const Counts expected = {{with_ends("a|b|_|a|_"), 2},
                           {with_ends("b|" + e + "|_"), 1},
                           {"", 1},
                           {with_ends(smile + "|a|_"), 1}};
  for (uint64_t workers : {0, 3}) {
    Zelkor t;
    t.config.num_workers = workers;
    ASSERT_TRUE(t.build_vocab(lines));
    EXPECT_EQ(entry_texts(t), expected);
    EXPECT_EQ(vocabulary(t), (std::set<std::string>{"a", "b", e, smile, with_ends("_")}));
    EXPECT_EQ(t.interner.size(), 5u);
    EXPECT_TRUE(t.stats.empty());
    EXPECT_EQ(t.total_chars, 0u);
  }
}

TEST(BuildVocab, KeepsWhatTheVocabularyAlreadyHeld) {
  Zelkor t;
  t.interner.intern("zz");
  const uint32_t a = t.interner.intern("a");
  ASSERT_TRUE(t.build_vocab(Strings{"ba", "a"}));
  EXPECT_EQ(t.interner.size(), 4u);  // zz, a, then b and the end mark
  EXPECT_EQ(t.interner.id_to_token[0], "zz");
  EXPECT_EQ(t.interner.token_to_id.at("a"), a);
  EXPECT_EQ(entry_texts(t), (Counts{{with_ends("b|a|_"), 1}, {with_ends("a|_"), 1}}));
}

TEST(BuildVocab, RunsAgreeOnSequencesWhateverTheIds) {
  std::mt19937 rng(3);
  Strings lines(3000);
  for (std::string& line : lines) {
    line.resize(rng() % 10);
    for (char& c : line) c = "abc  "[rng() % 5];
  }
  Zelkor one, two;
  two.config.num_workers = 3;
  ASSERT_TRUE(one.build_vocab(lines));
  ASSERT_TRUE(two.build_vocab(lines));
  EXPECT_EQ(entry_texts(one), entry_texts(two));
  EXPECT_EQ(vocabulary(one), vocabulary(two));
}

// ---- new_from_counts ------------------------------------------------------------------------

TrainConfig small_config() {
  TrainConfig config;
  config.n_values = {2, 3};
  config.num_merges = 5;
  config.aim_token_num = 0;
  return config;
}

constexpr const char* kSkipLine =
    "][init] multiprocess path: skip single-thread rebuild_global_stats\n";

TEST(NewFromCounts, MultiProcessPathIsAnnouncedAndRefused) {
  TrainConfig config = small_config();
  config.multi_process = true;
  std::optional<Result<Zelkor>> result;
  const std::string log = stderr_of([&] {
    result.emplace(Zelkor::new_from_counts(seq_counts({{with_ends("a_b_"), 3}}), 4, config));
  });
  EXPECT_NE(log.find(kSkipLine), std::string::npos) << log;
  EXPECT_EQ(log.find("rebuild_global_stats start"), std::string::npos) << log;
  EXPECT_FALSE(*result);
}

TEST(NewFromCounts, SingleProcessCountsAndTrains) {
  std::optional<Result<Zelkor>> result;
  const std::string log = stderr_of([&] {
    result.emplace(Zelkor::new_from_counts(
        seq_counts({{with_ends("a_b_"), 3}, {with_ends("a_"), 2}, {"", 1}}), 11, small_config()));
  });
  EXPECT_EQ(log.find(kSkipLine), std::string::npos) << log;
  EXPECT_NE(log.find("][stats] rebuild_global_stats start entries=3 n_values=[2, 3]"),
            std::string::npos) << log;
  EXPECT_NE(log.find("][tpc] total_tokens="), std::string::npos) << log;
  ASSERT_TRUE(*result);
  const Zelkor& t = **result;
  EXPECT_EQ(t.total_chars, 11u);
  EXPECT_EQ(t.config.n_values, small_config().n_values);
  const auto& ids = t.interner.id_to_token;
  ASSERT_GE(ids.size(), 4u);  // the symbols first, then what the merges made
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.begin() + 3),
            (std::set<std::string>{"a", "b", with_ends("_")}));
  EXPECT_FALSE(t.merges.empty());
  uint64_t freq = 0;
  for (const SeqEntry& e : t.entries) freq += e.freq;
  EXPECT_EQ(freq, 6u);
  EXPECT_LT(total_tokens(t), 3u * 4 + 2u * 2);
}

// ---- Awkward corpora, end to end -----------------------------------------------------------

Zelkor train_lines(const Strings& lines, TrainConfig config, std::string* log) {
  ThreadPool pool(2, "test pool");
  uint64_t chars = 0;
  for (const std::string& line : lines) chars += line.size();
  std::optional<Result<Zelkor>> result;
  *log = stderr_of([&] {
    result.emplace(Zelkor::new_from_counts(build_counts_chunk(pool, lines), chars, config));
  });
  EXPECT_TRUE(*result);
  return *result ? std::move(**result) : Zelkor{};
}

TEST(AwkwardCorpus, OnlyBlankLines) {
  std::string log;
  const Zelkor t = train_lines(Strings(50, " \t "), small_config(), &log);
  EXPECT_EQ(entry_texts(t), (Counts{{"", 50}}));
  EXPECT_EQ(t.interner.size(), 0u);
  EXPECT_TRUE(t.merges.empty());
  EXPECT_NE(log.find("] step 0 stats empty, stop"), std::string::npos) << log;
  EXPECT_NE(log.find("] total_tokens=0 total_chars=150 tpc=0.000000 "), std::string::npos) << log;
}

TEST(AwkwardCorpus, OneVeryLongLine) {
  std::mt19937 rng(11);
  std::string line(100000, ' ');
  for (char& c : line) c = "ab c"[rng() % 4];
  TrainConfig config = small_config();
  config.n_values = {2, 3, 4};
  config.num_merges = 20;
  std::string log;
  const Zelkor t = train_lines({line}, config, &log);
  ASSERT_EQ(t.entries.size(), 1u);
  EXPECT_EQ(t.entries[0].freq, 1u);
  EXPECT_EQ(t.merges.size(), 20u);  // repeats inside the one line make frequencies
  EXPECT_LT(t.entries[0].tokens.size(), Zelkor::encode_sentence_str(line).size() * 3 / 4);
}

TEST(AwkwardCorpus, IdenticalLinesCollapseIntoOneToken) {
  TrainConfig config = small_config();
  config.n_values = {2, 3, 4, 5, 6};
  config.num_merges = 100;
  std::string log;
  const Zelkor t = train_lines(Strings(1000, "the cat"), config, &log);
  EXPECT_EQ(entry_texts(t), (Counts{{with_ends("the_cat_"), 1000}}));
  EXPECT_TRUE(t.stats.empty());
  EXPECT_NE(log.find(fmt::format("] step {} stats empty, stop", t.merges.size())),
            std::string::npos) << log;
  EXPECT_NE(log.find("] total_tokens=1000 total_chars=7000 tpc=0.142857 "), std::string::npos)
      << log;
}

}  // namespace
