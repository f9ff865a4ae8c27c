// The multi-process driver with one real worker (this binary, started with "--as-worker") against
// a step-by-step model of its incremental mode: statistics counted per sequence (weighted counts
// of 1 dropped), each step's old and new windows summed over the sequences and folded by the
// owned rules, the best admissible key merged.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>

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

}  // namespace
}  // namespace zelkor::mp

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--as-worker") return zelkor::mp::worker_loop() ? 0 : 1;
  ::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
