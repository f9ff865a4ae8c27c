// The multi-process driver with one real worker (this binary, started with "--as-worker") against
// a step-by-step model of its incremental mode: statistics counted per sequence (weighted counts
// of 1 dropped), each step's old and new windows summed over the sequences and folded by the
// owned rules, the best admissible key merged.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <random>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer's allocator owns the heap
#endif

#include "core/interrupt.hpp"
#include "core/stats.hpp"
#include "engine/engine.hpp"
#include "multiproc/train_mp.hpp"
#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::StatsTable;
const bool kQuiet = zelkor::testing::quiet_log("1");

Stat weighted(const Stat& s, uint32_t mult) {
  return Stat{static_cast<uint32_t>(std::min<uint64_t>(uint64_t{s.freq} * mult, UINT32_MAX)), s.score * mult};
}

// The merged texts the driver must produce from `start`, stepping the model.
std::vector<std::string> model_merges(Zelkor t, const std::vector<uint64_t>& n) {
  StatsTable stats;
  for (const SeqEntry& e : t.entries) {
    for (const auto& [key, s] : zelkor::testing::count_all_windows({{e.tokens, 1}}, n)) {
      const Stat w = weighted(s, e.freq);
      if (w.freq > 1) stats[key].freq += w.freq, stats[key].score += w.score;
    }
  }
  std::vector<std::string> merged;
  for (uint64_t step = 0; step < t.config.num_merges; ++step) {
    const CandidateFilter filter(t.config, t.interner);
    std::optional<std::pair<NgramKey, Stat>> best;
    for (const auto& [key, s] : stats) {
      if (!filter.admits(key, s)) continue;
      if (!best || std::tuple(s.score, key.size(), key) > std::tuple(best->second.score, best->first.size(), best->first)) {
        best = std::pair(key, s);
      }
    }
    if (!best) break;
    std::string text;
    for (uint32_t id : best->first) text += t.interner.id_to_token[id];
    const uint32_t id = t.interner.intern(text);
    StatsTable old_sum, new_sum;
    for (SeqEntry& e : t.entries) {
      std::vector<uint64_t> matches, placed;
      const TokenIds now = zelkor::testing::rewrite(e.tokens, best->first, id, matches, placed);
      for (auto& [key, s] : zelkor::testing::overlapping_windows(e.tokens, matches, best->first.size(), n)) {
        const Stat w = weighted(s, e.freq);
        old_sum[key].freq += w.freq, old_sum[key].score += w.score;
      }
      for (auto& [key, s] : zelkor::testing::overlapping_windows(now, placed, 1, n)) {
        const Stat w = weighted(s, e.freq);
        new_sum[key].freq += w.freq, new_sum[key].score += w.score;
      }
      e.tokens = now;
    }
    EXPECT_FALSE(old_sum.empty()) << "a no-op step: pick another corpus";
    for (const auto& [key, w] : old_sum) {
      auto it = stats.find(key);
      if (it == stats.end()) continue;
      it->second = {it->second.freq - std::min(it->second.freq, w.freq), it->second.score - std::min(it->second.score, w.score)};
      if (it->second.freq <= 1) stats.erase(it);
    }
    for (const auto& [key, w] : new_sum) {
      if (w.freq <= 1) continue;
      Stat& s = stats[key];
      s = {s.freq + w.freq, s.score + w.score};
      if (s.freq < 2) stats.erase(key);
    }
    merged.push_back(text);
  }
  return merged;
}

TEST(TrainMultiprocess, OneWorkerFollowsTheModelStepByStep) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::vector<std::string> lines;
    for (int l = 0; l < 200; ++l) {
      std::string line;
      for (int w = rng() % 5; w >= 0; --w) line += std::string("ab cd abc da eb ").substr(rng() % 10, 1 + rng() % 5) + " ";
      lines.push_back(line);
    }
    Zelkor t;
    t.config.n_values = {2, 3};
    t.config.aim_token_num = 0;
    t.config.num_merges = 25;
    t.config.num_workers = 1;
    t.config.multi_process = true;
    t.config.cross_word_start_vocab = seed > 2 ? 14 : 0;  // multi-word keys only later
    t.build_vocab(lines);
    const std::vector<std::string> expected = model_merges(t, t.config.n_values);
    ASSERT_TRUE(train_multiprocess(t, worker_command("/proc/self/exe")));
    std::vector<std::string> merged;
    for (const MergeRule& rule : t.merges) merged.push_back(rule.merged);
    EXPECT_EQ(merged, expected);
    EXPECT_GE(merged.size(), 20u);
    EXPECT_FALSE(t.entries.empty());  // collected back
    EXPECT_TRUE(t.stats.empty());
  }
}

// Bytes handed out by the allocator and not yet freed.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

// The heap whenever the driver asks for interrupts, with how far training has come: before step
// s's merge is chosen, s merges are recorded and s tokens interned.
struct HeapNote {
  size_t merges, tokens, bytes;
};
const Zelkor* watched = nullptr;
std::vector<HeapNote> heap_notes;

bool note_heap() {
  heap_notes.push_back({watched->merges.size(), watched->interner.id_to_token.size(), heap_in_use()});
  // The driver asks at most every 20 ms: waiting longer, every step start gets asked.
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  return false;
}

// The least heap noted before step s chose its merge, with `tokens` the interner's size at the start.
std::optional<size_t> heap_before_step(size_t s, size_t tokens) {
  std::optional<size_t> least;
  for (const HeapNote& note : heap_notes) {
    if (note.merges == s && note.tokens == tokens + s) least = std::min(least.value_or(SIZE_MAX), note.bytes);
  }
  return least;
}

// With MP_LOW_MEM a step's recount is released with its step: when the next step starts the
// parent holds no statistics, however large the previous step's were.
TEST(TrainMultiprocess, LowMemoryHoldsNoStatisticsBetweenSteps) {
  std::mt19937 rng(7);
  std::vector<std::string> lines;
  for (int l = 0; l < 500; ++l) {
    std::string line;
    for (int c = 0; c < 60; ++c) line += c % 7 == 6 ? ' ' : char('a' + rng() % 8);
    lines.push_back(line);
    lines.push_back(line);  // counts of 2: every window counts
  }
  Zelkor t;
  t.config.n_values = {2, 3, 4, 5, 6};
  t.config.aim_token_num = 0;
  t.config.num_merges = 3;
  t.config.num_workers = 1;
  t.config.multi_process = true;
  t.build_vocab(lines);
  // The size of one step's statistics in this process.
  const size_t before = heap_in_use();
  size_t map_bytes = 0;
  {
    GlobalStats one;
    merge_stats_into(one, WorkerState(t.entries, t.config.n_values).compute_stats());
    map_bytes = heap_in_use() - before;
  }
  ASSERT_GT(map_bytes, size_t{2} << 20);
  setenv("MP_LOW_MEM", "1", 1);
  const size_t tokens = t.interner.id_to_token.size();
  watched = &t;
  heap_notes.clear();
  {
    InterruptScope measured(&note_heap);
    ASSERT_TRUE(train_multiprocess(t, worker_command("/proc/self/exe")));
  }
  unsetenv("MP_LOW_MEM");
  ASSERT_EQ(t.merges.size(), 3u);
  const std::optional<size_t> first = heap_before_step(0, tokens);
  ASSERT_TRUE(first);
  for (size_t step = 1; step < 3; ++step) {
    const std::optional<size_t> later = heap_before_step(step, tokens);
    ASSERT_TRUE(later) << "step " << step;
    EXPECT_LT(*later, *first + map_bytes / 4) << "step " << step;
  }
}

}  // namespace
}  // namespace zelkor::mp

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--as-worker") return zelkor::mp::worker_loop() ? 0 : 1;
  ::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
