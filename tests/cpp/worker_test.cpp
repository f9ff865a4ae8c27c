// The worker's passes against the naive model on random sequences: the statistics pass (each
// sequence's weighted counts of 1 dropped) and the merge pass (the records of the bucket files
// summed per key, the entries as a multiset), plus the sizing rules of the worker's passes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::StatsTable;
const bool kQuiet = zelkor::testing::quiet_log();

// Sizing: WORKER_THREADS / WORKER_CHUNK when valid, else the defaults.
TEST(Sizing, ThreadsAndChunk) {
  const uint64_t cpus = WorkerState::worker_threads();
  const struct { const char* threads; uint64_t expected; } thread_cases[] = {
      {"0", 1}, {"+3", 3}, {"-3", cpus}, {"+", cpus}, {"", cpus}, {"3x", cpus}};
  for (const auto& c : thread_cases) {
    setenv("WORKER_THREADS", c.threads, 1);
    EXPECT_EQ(WorkerState::worker_threads(), c.expected) << c.threads;
  }
  unsetenv("WORKER_THREADS");
  EXPECT_EQ(WorkerState::worker_chunk(100000, 4), 8192u);
  EXPECT_EQ(WorkerState::worker_chunk(10000000, 4), 20000u);
  EXPECT_EQ(WorkerState::worker_chunk(200000, UINT64_MAX), 8192u);
  setenv("WORKER_CHUNK", "10", 1);
  EXPECT_EQ(WorkerState::worker_chunk(100000, 4), 1024u);
  unsetenv("WORKER_CHUNK");
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
    const Stat w{stat.freq * mult, stat.score * mult};
    if (drop_le1 && w.freq <= 1) continue;
    into[key].freq += w.freq;
    into[key].score += w.score;
  }
}

// Sums the records of every old_*.bin (or new_*.bin) file of `dir`.
StatsTable read_records(const std::string& dir, const std::string& kind) {
  StatsTable out;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    if (!file.path().filename().string().starts_with(kind + "_")) continue;
    const std::string bytes = zelkor::testing::TempDir::read(file.path());
    size_t at = 0;
    auto u = [&](size_t n) {
      uint64_t v = 0;
      for (size_t b = 0; b < n; ++b) v |= uint64_t{static_cast<unsigned char>(bytes[at + b])} << (8 * b);
      at += n;
      return v;
    };
    for (uint64_t records = u(8); records > 0; --records) {
      NgramKey key(u(8));
      for (uint32_t& id : key) id = static_cast<uint32_t>(u(4));
      out[key].freq += static_cast<uint32_t>(u(4));
      out[key].score += u(8);
    }
    EXPECT_EQ(at, bytes.size()) << file.path();
  }
  return out;
}

TEST(WorkerPasses, StatisticsDropEachSequencesCountsOfOne) {
  setenv("WORKER_CHUNK", "1", 1);  // chunks of 1024: several chunks and tasks
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    const std::vector<uint64_t> n_values = {2, 3, 5};
    WorkerState state{random_entries(seed, 3000), n_values};
    if (seed > 3) state.apply_merge(ApplyMerge{{1, 2}, 9, false, false, 64, ""});  // indexed
    StatsTable expected;
    for (const SeqEntry& e : state.entries()) {
      add(expected, zelkor::testing::count_all_windows({{e.tokens, 1}}, n_values), e.freq, true);
    }
    EXPECT_EQ(zelkor::testing::to_table(state.compute_stats()), expected) << "seed " << seed;
  }
  unsetenv("WORKER_CHUNK");
}

// Three steps, the later ones over the index the first one builds; each step's records summed
// per key must be the model's windows around the matches, weighted by the entry counts.
TEST(WorkerPasses, MergeRecordsAndEntriesMatchTheModel) {
  for (const bool use_diff : {true, false}) {
    zelkor::testing::TempDir tmp;
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
        const TokenIds now = zelkor::testing::rewrite(e.tokens, parts, new_id, matches, placed);
        add(old_expected, zelkor::testing::overlapping_windows(e.tokens, matches, parts.size(), n_values), e.freq, false);
        add(new_expected, zelkor::testing::overlapping_windows(now, placed, 1, n_values), e.freq, false);
        e.tokens = now;
      }
      expected = zelkor::testing::canonical(std::move(expected));
      const WorkerResponse reply = state.apply_merge(ApplyMerge{parts, new_id, false, use_diff, 64, dir});
      EXPECT_TRUE(reply == WorkerResponse{ApplyResult{expected.size()}}) << "step " << s;
      EXPECT_EQ(zelkor::testing::canonical(state.entries()), expected);
      ASSERT_EQ(std::filesystem::exists(dir), use_diff);
      if (!use_diff) continue;
      EXPECT_EQ(read_records(dir, "old"), old_expected);
      EXPECT_EQ(read_records(dir, "new"), new_expected);
      const std::string manifest = zelkor::testing::TempDir::read(dir + "/diff_manifest.bin");
      ASSERT_EQ(manifest.size(), 24u);
      EXPECT_EQ(manifest.substr(0, 8), std::string("ZKMF\x40\0\0\0", 8));
      for (uint64_t b = 0; b < 64; ++b) {
        for (const auto& [kind, at] : {std::pair{"old", 8}, std::pair{"new", 16}}) {
          const bool bit = (static_cast<unsigned char>(manifest[at + b / 8]) >> (b % 8)) & 1;
          EXPECT_EQ(bit, std::filesystem::exists(dir + "/" + kind + "_" + std::to_string(b) + ".bin"));
        }
      }
    }
  }
}

// The replies in order: refusals before Init, Preprocess in any state, Init replacing the state.
TEST(WorkerLoop, DispatchBeforeAndAfterInit) {
  std::optional<WorkerState> state;
  bool done = false;
  const WorkerResponse refused = ErrorReply{"worker not initialized"}, ack = Ack{};
  const WorkerResponse counted = PreStats{{{"a\xC4\xA0" "b\xC4\xA0", 3}}};
  const WorkerResponse second_share = Entries{{{{3}, 4}}};
  const std::vector<std::pair<WorkerRequest, const WorkerResponse*>> exchanges = {
      {ComputeStats{}, &refused},
      {DumpEntries{}, &refused},
      {ApplyMerge{{1, 2}, 3, false, false, 64, ""}, &refused},
      {Preprocess{{"a b", "a b", " a  b "}}, &counted},
      {Init{{{{1, 2}, 1}}, {2}}, &ack},
      {Init{{{{3}, 4}}, {2}}, &ack},
      {DumpEntries{}, &second_share},
      {DumpEntries{}, &second_share},
  };
  for (const auto& [request, reply] : exchanges) {
    EXPECT_TRUE(handle_request(state, WorkerRequest(request), done) == *reply);
    EXPECT_FALSE(done);
  }
  EXPECT_TRUE(handle_request(state, Shutdown{}, done) == ack);
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace zelkor::mp
