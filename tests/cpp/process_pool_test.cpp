// The process pool: its rules (deal, child threads, bucket count, step directories) in tables,
// and real worker processes (this test binary, started with "--as-worker") through every round,
// a worker killed mid-training, and no child left unreaped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "multiproc/bucket_readers.hpp"
#include "multiproc/process_pool.hpp"
#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/naive_trainer.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::canonical;
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
    EXPECT_EQ(step_bucket_count(4), expected) << value;
  }
  unsetenv("MP_BUCKETS");
  EXPECT_EQ(step_bucket_count(1500), 2048u);
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

bool no_children_left() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Three real workers: their statistics, one merge read back from the bucket files, the dump and
// the shutdown agree with one in-process worker holding everything.
TEST(ProcessPool, RoundsAgreeWithOneInProcessWorker) {
  const std::vector<uint64_t> n_values = {2, 3};
  const std::vector<SeqEntry> entries = random_entries(400);
  WorkerState all(entries, n_values);
  auto pool = ProcessPool::create(std::vector<SeqEntry>(entries), n_values, 3,
                                  worker_command("/proc/self/exe"));
  ASSERT_TRUE(pool) << pool.error().render();
  ASSERT_EQ((*pool)->size(), 3u);
  auto stats = (*pool)->compute_stats();
  ASSERT_TRUE(stats) << stats.error().render();
  EXPECT_EQ(to_table(*stats), to_table(all.compute_stats()));

  uint64_t buckets = 0;
  auto step = (*pool)->apply_merge_prepare(std::vector<uint32_t>{1, 2}, 9, false, buckets);
  ASSERT_TRUE(step) << step.error().render();
  EXPECT_EQ(buckets, 1024u);
  std::vector<std::optional<DiffManifest>> manifests;
  for (const std::string& dir : (*step)->worker_dirs()) manifests.push_back(read_diff_manifest(dir, buckets));
  std::vector<uint64_t> every(buckets);
  for (uint64_t b = 0; b < buckets; ++b) every[b] = b;
  const BucketDiff read = merge_bucket_diffs(every, StepFiles{(*step)->worker_dirs(), manifests, true});
  zelkor::testing::TempDir tmp;
  all.apply_merge(ApplyMerge{{1, 2}, 9, false, true, 64, tmp.path("w")});
  std::vector<std::string> one = {tmp.path("w")};
  std::vector<std::optional<DiffManifest>> none(1);
  std::vector<uint64_t> sixty_four(64);
  for (uint64_t b = 0; b < 64; ++b) sixty_four[b] = b;
  const BucketDiff expected = merge_bucket_diffs(sixty_four, StepFiles{one, none, false});
  EXPECT_EQ(to_table(read.old_stats), to_table(expected.old_stats));
  EXPECT_EQ(to_table(read.new_stats), to_table(expected.new_stats));

  auto dumped = (*pool)->dump_entries();
  ASSERT_TRUE(dumped) << dumped.error().render();
  EXPECT_EQ(canonical(*dumped), canonical(all.entries()));
  (*pool)->shutdown();
  EXPECT_TRUE(no_children_left());
}

TEST(ProcessPool, AKilledWorkerFailsTheRoundAndNothingIsLeft) {
  auto pool = ProcessPool::create(random_entries(50), std::vector<uint64_t>{2}, 2,
                                  worker_command("/proc/self/exe"));
  ASSERT_TRUE(pool);
  // The second worker's process id is the newest child: find it through /proc.
  pid_t newest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
    std::ifstream stat(entry.path() / "stat");
    std::string field;
    for (int f = 0; f < 4 && stat >> field; ++f) {
    }
    if (pid > 0 && std::atoi(field.c_str()) == ::getpid()) newest = std::max(newest, pid);
  }
  ASSERT_GT(newest, 0);
  ::kill(newest, SIGKILL);
  // Once it is a zombie its pipe is closed: the round's request cannot be written to it, and
  // the round reports what reading from it says.
  for (std::string state; state != "Z";) {
    std::ifstream stat("/proc/" + std::to_string(newest) + "/stat");
    std::string pid, comm;
    stat >> pid >> comm >> state;
  }
  auto stats = (*pool)->compute_stats();
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().render(), "[ipc:worker:1:stats] read len failed: unexpected end of file");
  pool->reset();
  EXPECT_TRUE(no_children_left());
}

TEST(ProcessPool, AWorkerThatCannotStartIsReported) {
  auto pool = ProcessPool::create(random_entries(5), std::vector<uint64_t>{2}, 2,
                                  WorkerCommand{"/nonexistent/python", {}, {}});
  ASSERT_FALSE(pool);
  EXPECT_EQ(pool.error().render(), "spawn worker 0 failed: No such file or directory (os error 2)");
  EXPECT_TRUE(no_children_left());
}

// A worker that acknowledges Init (or not, with "--refuse-init") and then refuses everything.
int refusing_worker(bool refuse_init) {
  FrameReader input(STDIN_FILENO);
  while (auto request = read_request(input, "worker:req")) {
    const bool init = std::holds_alternative<Init>(*request);
    const WorkerResponse reply = init && !refuse_init ? WorkerResponse{Ack{}} : ErrorReply{std::string(400, 'x')};
    if (!write_msg(STDOUT_FILENO, reply)) return 1;
  }
  return 0;
}

TEST(ProcessPool, WrongRepliesAreReportedCut) {
  const std::string cut = "Error(\"" + std::string(293, 'x') + "... (cut)";
  auto refused = ProcessPool::create(random_entries(4), std::vector<uint64_t>{2}, 2,
                                     WorkerCommand{"/proc/self/exe", {"--refuse-init"}, {}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().render(), "worker 0 init failed: " + cut);
  auto pool = ProcessPool::create(random_entries(4), std::vector<uint64_t>{2}, 2,
                                  WorkerCommand{"/proc/self/exe", {"--refuse"}, {}});
  ASSERT_TRUE(pool);
  auto stats = (*pool)->compute_stats();
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().render(), "unexpected stats reply: " + cut);
  uint64_t buckets = 0;
  auto step = (*pool)->apply_merge_prepare(std::vector<uint32_t>{1, 2}, 9, false, buckets);
  ASSERT_FALSE(step);
  EXPECT_EQ(step.error().render(), "unexpected apply reply: " + cut);
  pool->reset();
  EXPECT_TRUE(no_children_left());
}

}  // namespace
}  // namespace zelkor::mp

// This binary is also the test workers' program: "--as-worker" serves the worker loop.
int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "--as-worker") return zelkor::mp::worker_loop() ? 0 : 1;
  if (mode == "--refuse" || mode == "--refuse-init") return zelkor::mp::refusing_worker(mode == "--refuse-init");
  ::signal(SIGPIPE, SIG_IGN);  // a dead worker's pipe is an error to report, not a signal
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
