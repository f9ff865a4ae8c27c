// Corpus counting and trainer construction: the parallel line counter, the count merge, the
// initial vocabulary and sequences, and the refusal of the multi-process path.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/corpus.hpp"
#include "core/trainer.hpp"
#include "engine/engine.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace {

using namespace zelkor;
using zelkor::testing::capture_stderr;
using zelkor::testing::entry_texts;
using zelkor::testing::with_ends;
using Strings = std::vector<std::string>;
using Counts = std::map<std::string, uint32_t>;

const bool kQuiet = zelkor::testing::quiet_log();

Counts sorted(const SeqCounts& counts) { return Counts(counts.begin(), counts.end()); }
SeqCounts seq_counts(const Counts& counts) { return SeqCounts(counts.begin(), counts.end()); }

TEST(CountLines, ManyLinesSplitAcrossThreadsCountLikeOneLoop) {
  std::mt19937 rng(7);
  const Strings variants = {"to be", " to  be ", "to\tbe", "tobe",    "",
                            "\t\n",  "\xC3\xA9 \xE6\x97\xA5", "\xF0\x9F\x98\x80"};
  Strings lines(20000);
  Counts expected;
  for (std::string& line : lines) {
    line = variants[rng() % variants.size()];
    expected[normalized_text(line)] += 1;
  }
  ASSERT_EQ(expected.size(), 5u);  // white space variants share a key
  for (uint64_t threads : {1, 3}) {
    ThreadPool pool(threads, "test pool");
    EXPECT_EQ(sorted(build_counts_chunk(pool, lines)), expected) << threads;
  }
}

// Counts wrap at 2^32; the second case has the larger right side and a count that wraps to
// exactly 0 (the key stays).
TEST(MergeCounts, AddsRightIntoLeftWrappingAt32Bits) {
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  EXPECT_EQ(sorted(merge_sequence_counts(seq_counts({{"a", kMax}, {"b", 4}}),
                                         seq_counts({{"a", 2}}))),
            (Counts{{"a", 1}, {"b", 4}}));
  EXPECT_EQ(sorted(merge_sequence_counts(seq_counts({{"a", 1}}),
                                         seq_counts({{"a", kMax}, {"b", 1}, {"c", 7}}))),
            (Counts{{"a", 0}, {"b", 1}, {"c", 7}}));
}

TEST(BuildVocab, SequencesAndSymbolsOfTheCorpus) {
  const std::string e = "\xC3\xA9", smile = "\xF0\x9F\x98\x80";
  Zelkor t;
  t.interner.intern("zz");
  const uint32_t a = t.interner.intern("a");
  t.build_vocab(Strings{"ab a", " b" + e + "  ", "ab a", "\t", smile + "a"});
  EXPECT_EQ(entry_texts(t), (Counts{{with_ends("a|b|_|a|_"), 2}, {with_ends("b|" + e + "|_"), 1},
                                    {"", 1}, {with_ends(smile + "|a|_"), 1}}));
  EXPECT_EQ(std::set<std::string>(t.interner.id_to_token.begin(), t.interner.id_to_token.end()),
            (std::set<std::string>{"zz", "a", "b", e, smile, with_ends("_")}));
  EXPECT_EQ(t.interner.token_to_id.at("a"), a);  // ids already held are kept
}

// The multi-process path says so in its "init" line, then goes to the workers (here a program
// that cannot start) without a recount in this process.
TEST(Engine, MultiProcessPathIsAnnouncedAndGoesToTheWorkers) {
  TrainConfig config;
  config.multi_process = true;
  std::optional<Result<Zelkor>> result;
  const std::string log = capture_stderr([&] {
    result.emplace(engine::new_from_counts(seq_counts({{with_ends("a_b_"), 3}}), 4, config,
                                           mp::WorkerCommand{"/nonexistent/worker", {}, {}}));
  });
  EXPECT_NE(log.find("][init] multiprocess path: skip single-thread rebuild_global_stats\n"),
            std::string::npos) << log;
  EXPECT_EQ(log.find("rebuild_global_stats start"), std::string::npos) << log;
  ASSERT_FALSE(*result);
  EXPECT_EQ(result->error().render(), "spawn worker 0 failed: No such file or directory (os error 2)");
}

}  // namespace
