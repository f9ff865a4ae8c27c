// The process pool: its rules (deal, child threads, bucket count, step directories) in tables,
// and real worker processes (this test binary, started with "--as-worker") through every round,
// failing workers reported with exact texts, memory running out in a reader thread, and no child
// left unreaped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <numeric>
#include <random>
#include <tuple>

#include "multiproc/bucket_count.hpp"
#include "multiproc/bucket_readers.hpp"
#include "multiproc/process_pool.hpp"
#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/failing_new.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::canonical;
using zelkor::testing::no_children_left;
using zelkor::testing::to_table;
const bool kQuiet = zelkor::testing::quiet_log();

TEST(PoolRules, DealThreadsBuckets) {
  std::vector<SeqEntry> ten;
  for (uint32_t k = 0; k < 10; ++k) ten.push_back({{k}, 1});
  const auto parts = deal(std::move(ten), 4);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[1], (std::vector<SeqEntry>{{{1}, 1}, {{5}, 1}, {{9}, 1}}));
  EXPECT_EQ(parts[3], (std::vector<SeqEntry>{{{3}, 1}, {{7}, 1}}));
  EXPECT_EQ(deal(std::vector<SeqEntry>(3), 8).size(), 3u);
  EXPECT_EQ(child_worker_threads(100000), "1");
  setenv("WORKER_THREADS", "7", 1);
  EXPECT_EQ(child_worker_threads(4), "7");
  unsetenv("WORKER_THREADS");
  const std::pair<const char*, uint64_t> buckets[] = {
      {"100", 128}, {"5", 64}, {"+4096", 4096}, {"1073741824", 1 << 20}, {"-1", 1024}, {"abc", 1024}};
  for (const auto& [value, expected] : buckets) {
    setenv("MP_BUCKETS", value, 1);
    EXPECT_EQ(step_bucket_count(4, uint64_t{1} << 40), expected) << value;
  }
  setenv("MP_BUCKETS", "100", 1);
  EXPECT_EQ(step_bucket_count(4, 1), 128u);  // a set value holds for small steps too
  unsetenv("MP_BUCKETS");
  // Without MP_BUCKETS the count follows the expected changes, up to the default.
  const std::tuple<size_t, uint64_t, uint64_t> adaptive[] = {
      {4, 0, 1}, {4, 8191, 1}, {4, 8192 * 257, 512}, {4, 100000000, 1024}, {1500, 1ull << 40, 2048},
      {1500, 3000, 1}, {1, 2048 * 20, 32}};
  for (const auto& [workers, windows, expected] : adaptive) {
    EXPECT_EQ(step_bucket_count(workers, windows), expected) << workers << " " << windows;
  }
}

TEST(PoolRules, StepDirectoriesArePrivateAndRemoved) {
  zelkor::testing::TempDir tmp;
  setenv("TMPDIR", tmp.path("root").c_str(), 1);  // used as given, created when missing
  std::string path;
  {
    auto dir = StepDir::create(2);
    ASSERT_TRUE(dir) << dir.error().render();
    path = (*dir)->path();
    EXPECT_TRUE(path.starts_with(tmp.path("root/zk_apply_")));
    struct stat st {};
    ASSERT_EQ(::stat((*dir)->worker_dirs()[1].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::ofstream((*dir)->worker_dirs()[0] + "/old_0.bin") << "x";
  }
  unsetenv("TMPDIR");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(step_root(), "/dev/shm");
}

std::vector<SeqEntry> random_entries(size_t count) {
  std::mt19937 rng(2);
  std::vector<SeqEntry> entries;
  std::set<TokenIds> seen;
  while (entries.size() < count) {
    TokenIds tokens(1 + rng() % 8);
    for (uint32_t& id : tokens) id = rng() % 3;
    if (seen.insert(tokens).second) entries.push_back({tokens, 1 + uint32_t(rng() % 3)});
  }
  return entries;
}

Result<std::unique_ptr<ProcessPool>> start_pool(size_t entries, std::vector<uint64_t> n_values, size_t workers,
                                                WorkerCommand command = worker_command("/proc/self/exe")) {
  return ProcessPool::create(random_entries(entries), n_values, workers, std::move(command));
}

// Every bucket of a step written for `count` buckets into `dirs`, read back at once.
BucketDiff read_step(const std::vector<std::string>& dirs, uint64_t count, bool manifests_kept) {
  std::vector<std::optional<DiffManifest>> manifests;
  for (const std::string& dir : dirs) manifests.push_back(manifests_kept ? read_diff_manifest(dir, count) : std::nullopt);
  std::vector<uint64_t> every(count);
  std::iota(every.begin(), every.end(), 0);
  return merge_bucket_diffs(every, StepFiles{dirs, manifests, manifests_kept});
}

// Three real workers: their statistics, one merge read back from the bucket files, the dump and
// the shutdown agree with one in-process worker holding everything.
TEST(ProcessPool, RoundsAgreeWithOneInProcessWorker) {
  WorkerState all(random_entries(400), {2, 3});
  auto pool = start_pool(400, {2, 3}, 3);
  ASSERT_TRUE(pool) << pool.error().render();
  ASSERT_EQ((*pool)->size(), 3u);
  auto stats = (*pool)->compute_stats();
  ASSERT_TRUE(stats) << stats.error().render();
  EXPECT_EQ(to_table(*stats), to_table(all.compute_stats()));

  const uint64_t buckets = 1024;
  auto step = (*pool)->apply_merge_prepare(std::vector<uint32_t>{1, 2}, 9, false, buckets);
  ASSERT_TRUE(step) << step.error().render();
  const BucketDiff read = read_step((*step)->worker_dirs(), buckets, true);
  zelkor::testing::TempDir tmp;
  all.apply_merge(ApplyMerge{{1, 2}, 9, false, true, 64, tmp.path("w")});
  const BucketDiff expected = read_step({tmp.path("w")}, 64, false);
  EXPECT_EQ(to_table(read.old_stats), to_table(expected.old_stats));
  EXPECT_EQ(to_table(read.new_stats), to_table(expected.new_stats));

  auto dumped = (*pool)->dump_entries();
  ASSERT_TRUE(dumped) << dumped.error().render();
  EXPECT_EQ(canonical(*dumped), canonical(all.entries()));
  (*pool)->shutdown();
  EXPECT_TRUE(no_children_left());
}

// A worker that acknowledges Init (unless "--refuse-init") and then refuses everything, or with
// "--quit" ends there, as a killed one would.
int scripted_worker(std::string_view mode) {
  FrameReader input(STDIN_FILENO);
  while (auto request = read_request(input, "worker:req")) {
    const bool ack = std::holds_alternative<Init>(*request) && mode != "--refuse-init";
    if (!write_msg(STDOUT_FILENO, ack ? WorkerResponse{Ack{}} : ErrorReply{std::string(400, 'x')})) return 1;
    if (mode == "--quit") return 0;
  }
  return 0;
}

// The exact texts of workers that cannot start, refuse (their reply cut), or end after Init; none is left.
TEST(ProcessPool, FailingWorkersAreReportedAndReaped) {
  const std::string cut = "Error(\"" + std::string(293, 'x') + "... (cut)";
  const struct {
    const char *program, *mode;
    std::string start_error, stats_error;
  } cases[] = {
      {"/nonexistent/python", "", "spawn worker 0 failed: No such file or directory (os error 2)", ""},
      {"/proc/self/exe", "--refuse-init", "worker 0 init failed: " + cut, ""},
      {"/proc/self/exe", "--refuse", "", "unexpected stats reply: " + cut},
      // Either worker's end may be read first: "N" stands for its index.
      {"/proc/self/exe", "--quit", "", "[ipc:worker:N:stats] read len failed: unexpected end of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    auto pool = start_pool(4, {2}, 2, WorkerCommand{c.program, {c.mode}, {}});
    if (!pool) {
      EXPECT_EQ(pool.error().render(), c.start_error);
    } else {
      auto stats = (*pool)->compute_stats();
      ASSERT_FALSE(stats);
      std::string error = stats.error().render();
      if (error.starts_with("[ipc:worker:0:") || error.starts_with("[ipc:worker:1:")) error[12] = 'N';
      EXPECT_EQ(error, c.stats_error);
      auto step = (*pool)->apply_merge_prepare(std::vector<uint32_t>{1, 2}, 9, false, 64);
      ASSERT_FALSE(step);
      if (c.mode == std::string_view("--refuse")) {
        EXPECT_EQ(step.error().render(), "unexpected apply reply: " + cut);
      }
      pool->reset();
    }
    EXPECT_TRUE(no_children_left());
  }
}

// Memory running out while a reader thread takes a worker's statistics ends the round with the
// exception in the caller (not the process), after every reader has ended; no child is left.
thread_local bool test_thread = false;

TEST(ProcessPool, ReaderThatRunsOutOfMemoryFailsTheRound) {
  auto pool = start_pool(400, {2, 3}, 3);
  ASSERT_TRUE(pool) << pool.error().render();
  test_thread = true;
  zelkor::testing::failing_allocation = [](size_t) { return !test_thread; };
  EXPECT_THROW((void)(*pool)->compute_stats(), std::bad_alloc);
  zelkor::testing::failing_allocation = nullptr;
  pool->reset();
  EXPECT_TRUE(no_children_left());
}

}  // namespace
}  // namespace zelkor::mp

// This binary is also the test workers' program: "--as-worker" serves the worker loop.
int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "--as-worker") return zelkor::mp::worker_loop() ? 0 : 1;
  if (mode == "--refuse" || mode == "--refuse-init" || mode == "--quit") return zelkor::mp::scripted_worker(mode);
  ::signal(SIGPIPE, SIG_IGN);  // a dead worker's pipe is an error to report, not a signal
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
