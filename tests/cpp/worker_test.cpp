// The worker's passes against the naive model on random sequences: the statistics pass (each
// sequence's weighted counts of 1 dropped) and the merge pass (the records of the bucket files
// summed per key, the entries as a multiset), plus the sizing rules of the worker's passes. The
// dispatch, the manifest and the file modes are checked in a real worker by test_worker.py.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <tuple>

#include "core/ceil_div.hpp"
#include "multiproc/bucket_readers.hpp"
#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using namespace zelkor::testing;
const bool kQuiet = quiet_log();

// Sizing: WORKER_THREADS / WORKER_CHUNK when valid, else the defaults.
TEST(Sizing, ThreadsAndChunk) {
  const uint64_t cpus = WorkerState::worker_threads();
  const std::pair<const char*, uint64_t> thread_cases[] = {{"0", 1}, {"+3", 3}, {"-3", cpus}, {"3x", cpus}};
  for (const auto& [threads, expected] : thread_cases) {
    setenv("WORKER_THREADS", threads, 1);
    EXPECT_EQ(WorkerState::worker_threads(), expected) << threads;
  }
  unsetenv("WORKER_THREADS");
  EXPECT_EQ(WorkerState::worker_chunk(100000, 4), 8192u);
  EXPECT_EQ(WorkerState::worker_chunk(10000000, 4), 20000u);
  EXPECT_EQ(WorkerState::worker_chunk(200000, UINT64_MAX), 8192u);
  setenv("WORKER_CHUNK", "10", 1);
  EXPECT_EQ(WorkerState::worker_chunk(100000, 4), 1024u);
  unsetenv("WORKER_CHUNK");
  // Chunk counts: exact up to the largest sizes, where a + b - 1 would wrap.
  const std::tuple<uint64_t, uint64_t, uint64_t> divisions[] = {
      {0, 1024, 0}, {1, 1024, 1}, {1024, 1024, 1}, {1025, 1024, 2}, {3000, UINT64_MAX, 1},
      {UINT64_MAX, UINT64_MAX, 1}, {UINT64_MAX, 1, UINT64_MAX}, {UINT64_MAX, 2, uint64_t{1} << 63},
      {UINT64_MAX - 1, UINT64_MAX, 1}};
  for (const auto& [a, b, expected] : divisions) EXPECT_EQ(ceil_div(a, b), expected) << a << " / " << b;
}

std::vector<SeqEntry> random_entries(uint32_t seed, size_t count) {
  std::mt19937 rng(seed);
  std::vector<SeqEntry> entries(count);
  for (SeqEntry& e : entries) {
    e.tokens.resize(rng() % 12);
    for (uint32_t& id : e.tokens) id = rng() % 4;
    e.freq = rng() % 4;  // count 0 included
  }
  return entries;
}

void add(StatsTable& into, const StatsTable& part, uint32_t mult, bool drop_le1) {
  for (const auto& [key, stat] : part) {
    if (drop_le1 && stat.freq * mult <= 1) continue;
    into[key].freq += stat.freq * mult;
    into[key].score += stat.score * mult;
  }
}

// Sums the records of every old_*.bin (or new_*.bin) file of `dir` through the parent's reader
// (the exact byte layout is checked on a real worker by test_worker.py).
StatsTable read_records(const std::string& dir, const std::string& kind) {
  StatsMap out;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    if (!file.path().filename().string().starts_with(kind + "_")) continue;
    EXPECT_TRUE(read_bucket_file_into(file.path(), out)) << file.path();
  }
  return to_table(out);
}

TEST(WorkerPasses, StatisticsDropEachSequencesCountsOfOne) {
  // Chunks of 1024 (several chunks and tasks), and one chunk of every entry at the largest sizes.
  for (const char* chunk : {"1", "18446744073709551615", "+18446744073709551614", "9223372036854775809"}) {
    setenv("WORKER_CHUNK", chunk, 1);
    for (uint32_t seed = 1; seed <= 5; ++seed) {
      const std::vector<uint64_t> n_values = {2, 3, 5};
      WorkerState state{random_entries(seed, 3000), n_values};
      if (seed > 3) state.apply_merge(ApplyMerge{{1, 2}, 9, false, false, 64, ""});  // indexed
      StatsTable expected;
      for (const SeqEntry& e : state.entries())
        add(expected, count_all_windows({{e.tokens, 1}}, n_values), e.freq, true);
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(to_table(state.compute_stats()), expected) << "chunk " << chunk << ", seed " << seed;
    }
  }
  unsetenv("WORKER_CHUNK");
}

// Three steps, the later ones over the index the first one builds; each step's records summed
// per key must be the model's windows around the matches, weighted by the entry counts.
TEST(WorkerPasses, MergeRecordsAndEntriesMatchTheModel) {
  for (const bool use_diff : {true, false}) {
    TempDir tmp;
    std::vector<SeqEntry> expected = random_entries(9, 3000);
    const std::vector<uint64_t> n_values = {2, 3, 4};
    WorkerState state{expected, n_values};
    const std::vector<std::pair<TokenIds, uint32_t>> steps = {{{1, 1}, 7}, {{7, 2}, 8}, {{0, 0}, 1}};
    for (size_t s = 0; s < steps.size(); ++s) {
      const auto& [parts, new_id] = steps[s];
      const std::string dir = tmp.path("step" + std::to_string(s) + "/w0");
      StatsTable old_expected, new_expected;
      for (SeqEntry& e : expected) {
        std::vector<uint64_t> matches, placed;
        const TokenIds now = rewrite(e.tokens, parts, new_id, matches, placed);
        add(old_expected, overlapping_windows(e.tokens, matches, parts.size(), n_values), e.freq, false);
        add(new_expected, overlapping_windows(now, placed, 1, n_values), e.freq, false);
        e.tokens = now;
      }
      expected = canonical(std::move(expected));
      const WorkerResponse reply = state.apply_merge(ApplyMerge{parts, new_id, false, use_diff, 64, dir});
      EXPECT_TRUE(reply == WorkerResponse{ApplyResult{expected.size()}}) << "step " << s;
      EXPECT_EQ(canonical(state.entries()), expected);
      ASSERT_EQ(std::filesystem::exists(dir), use_diff);
      if (!use_diff) continue;
      EXPECT_EQ(read_records(dir, "old"), old_expected);
      EXPECT_EQ(read_records(dir, "new"), new_expected);
    }
  }
}

}  // namespace
}  // namespace zelkor::mp
