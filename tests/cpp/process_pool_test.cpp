// The process pool: its rules (deal, child threads, bucket count, step directories) in tables,
// and real worker processes (this test binary, started with "--as-worker") through every round,
// failing workers reported with exact texts, rounds that wait for a stopped worker given up on
// an interrupt, memory running out in a reader thread, and no child left unreaped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <numeric>
#include <thread>
#include <random>
#include <stdexcept>
#include <tuple>

#include "core/env.hpp"
#include "core/interrupt.hpp"
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
    EXPECT_FALSE(std::filesystem::exists((*dir)->worker_dirs()[0]));  // made one by one, each before its request
    ASSERT_TRUE((*dir)->make_worker_dir(0) && (*dir)->make_worker_dir(1));
    struct stat st {};
    ASSERT_EQ(::stat((*dir)->worker_dirs()[1].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::ofstream((*dir)->worker_dirs()[0] + "/old_0.bin") << "x";
  }
  unsetenv("TMPDIR");
  EXPECT_FALSE(std::filesystem::exists(path));
}

// TMPDIR when set and not empty; else the memory-backed directory when it can take one, and the
// system temporary directory after it, or alone.
TEST(PoolRules, StepRoots) {
  zelkor::testing::TempDir tmp;
  tmp.write("file", "");
  std::filesystem::create_directory(tmp.path("read-only"));
  std::filesystem::permissions(tmp.path("read-only"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const bool root = ::geteuid() == 0;  // may write anywhere
  const struct {
    const char* tmpdir;  // nullptr: unset
    std::string shm;
    std::vector<std::string> roots;
  } cases[] = {
      {"/x/y", tmp.path(), {"/x/y"}},
      {"", tmp.path(), {tmp.path(), "/tmp"}},
      {nullptr, tmp.path(), {tmp.path(), "/tmp"}},
      {"", tmp.path("missing"), {"/tmp"}},
      {nullptr, tmp.path("file"), {"/tmp"}},
      {nullptr, tmp.path("read-only"), root ? std::vector<std::string>{tmp.path("read-only"), "/tmp"}
                                            : std::vector<std::string>{"/tmp"}},
  };
  for (const auto& c : cases) {
    if (c.tmpdir) setenv("TMPDIR", c.tmpdir, 1); else unsetenv("TMPDIR");
    EXPECT_EQ(step_roots(c.shm), c.roots) << (c.tmpdir ? c.tmpdir : "unset") << " " << c.shm;
  }
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(system_temp_dir(), "/tmp");
  unsetenv("TMPDIR");
}

// A root where the directory cannot be created is passed over; the last root's error ends it.
TEST(PoolRules, StepDirectoryFallsBackToTheNextRoot) {
  zelkor::testing::TempDir tmp;
  tmp.write("file", "");
  const std::string unusable = tmp.path("file/shm");  // under a regular file: ENOTDIR
  auto dir = StepDir::create(1, {unusable, tmp.path("fallback")});
  ASSERT_TRUE(dir) << dir.error().render();
  EXPECT_TRUE((*dir)->path().starts_with(tmp.path("fallback/zk_apply_")));
  auto none = StepDir::create(1, {unusable});
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().render(), "Not a directory (os error 20)");
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
  auto read = merge_bucket_diffs(every, StepFiles{dirs, manifests, manifests_kept});
  if (!read) throw std::runtime_error(read.error().render());
  return std::move(*read);
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
  EXPECT_TRUE((*pool)->shutdown());
  EXPECT_TRUE(no_children_left());
}

// A worker that acknowledges Init (unless "--refuse-init") and then refuses everything; with
// "--quit" it ends on the next request without a reply, as a killed one would; "--deaf" stops
// reading once it has acknowledged Init, "--deaf-at-start" reads nothing.
int scripted_worker(std::string_view mode) {
  if (mode == "--deaf-at-start") return ::close(STDIN_FILENO);
  FrameReader input(STDIN_FILENO);
  while (auto request = read_request(input, "worker:req")) {
    const bool init = std::holds_alternative<Init>(*request);
    if (mode == "--quit" && !init) return 0;
    if (mode == "--deaf") ::close(STDIN_FILENO);  // no parent's write reaches it from here on
    const bool ack = init && mode != "--refuse-init";
    if (!write_msg(STDOUT_FILENO, ack ? WorkerResponse{Ack{}} : ErrorReply{std::string(400, 'x')})) return 1;
    if (mode == "--deaf") return 0;
  }
  return 0;
}

// The exact texts of workers that cannot start, refuse (their reply cut), cannot be written to, or
// end without a reply (a read failure); none is left. An empty text: the round fails, either way.
TEST(ProcessPool, FailingWorkersAreReportedAndReaped) {
  const std::string cut = "Error(\"" + std::string(293, 'x') + "... (cut)";
  const std::string broken = "Broken pipe (os error 32)";
  const struct {
    const char *program, *mode;
    size_t entries;
    std::string start_error, stats_error, dump_error, apply_error;
  } cases[] = {
      {"/nonexistent/python", "", 4, "spawn worker 0 failed: No such file or directory (os error 2)", "", "", ""},
      {"/proc/self/exe", "--refuse-init", 4, "worker 0 init failed: " + cut, "", "", ""},
      // An Init larger than a pipe holds: the write fails once the worker has closed its input.
      {"/proc/self/exe", "--deaf-at-start", 8000, broken, "", "", ""},
      {"/proc/self/exe", "--refuse", 4, "", "unexpected stats reply: " + cut, "unexpected entries reply: " + cut,
       "unexpected apply reply: " + cut},
      // Either worker's end may be read first: "N" stands for its index.
      {"/proc/self/exe", "--quit", 4, "", "[ipc:worker:N:stats] read len failed: unexpected end of file", "", ""},
      {"/proc/self/exe", "--deaf", 4, "", broken, broken, broken},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    auto pool = start_pool(c.entries, {2}, 2, WorkerCommand{c.program, {c.mode}, {}});
    if (!pool) {
      EXPECT_EQ(pool.error().render(), c.start_error);
    } else {
      auto stats = (*pool)->compute_stats();
      ASSERT_FALSE(stats);
      std::string error = stats.error().render();
      if (error.starts_with("[ipc:worker:0:") || error.starts_with("[ipc:worker:1:")) error[12] = 'N';
      EXPECT_EQ(error, c.stats_error);
      auto dumped = (*pool)->dump_entries();
      ASSERT_FALSE(dumped);
      if (!c.dump_error.empty()) {
        EXPECT_EQ(dumped.error().render(), c.dump_error);
      }
      auto step = (*pool)->apply_merge_prepare(std::vector<uint32_t>{1, 2}, 9, false, 64);
      ASSERT_FALSE(step);
      if (!c.apply_error.empty()) {
        EXPECT_EQ(step.error().render(), c.apply_error);
      }
      pool->reset();
    }
    EXPECT_TRUE(no_children_left());
  }
}

// A real worker, except that the one whose share begins with the sequence [0] stops itself
// (SIGSTOP, as a debugger or a job control would) when it receives request number `index`.
int stopping_worker(std::string_view index) {
  FrameReader input(STDIN_FILENO);
  std::optional<WorkerState> state;
  bool stops = false, done = false;
  while (auto request = read_request(input, "worker:req")) {
    if (const auto* init = std::get_if<Init>(&*request)) stops = init->entries.front().tokens == TokenIds{0};
    if (stops && std::to_string(request->index()) == index) ::raise(SIGSTOP);
    if (!write_msg(STDOUT_FILENO, handle_request(state, std::move(*request), done))) return 1;
    if (done) return 0;
  }
  return 1;
}

using Clock = std::chrono::steady_clock;
Clock::time_point stop_at;
bool past_stop_at() { return Clock::now() >= stop_at; }

std::optional<Error> error_of(const auto& result) {
  if (result) return std::nullopt;
  return result.error();
}

// Each round waits for worker 0, stopped in it, until the interrupt hook says stop (once every
// pool is made); the round then gives up with the interrupt, worker 1 ends when told to, and
// worker 0 is killed after the grace. The rounds run side by side, each on a thread of its own;
// nothing is left.
TEST(ProcessPool, InterruptedRoundsEndTheirWorkers) {
  const struct {
    int stop_at;  // the request's index
    std::function<std::optional<Error>(ProcessPool&)> round;
  } rounds[] = {
      {0, nullptr},  // Init: the pool's construction is interrupted
      {2, [](ProcessPool& pool) { return error_of(pool.compute_stats()); }},
      {3, [](ProcessPool& pool) { return error_of(pool.apply_merge_prepare(TokenIds{0, 1}, 2, false, 64)); }},
      {4, [](ProcessPool& pool) { return error_of(pool.dump_entries()); }},
      {5, [](ProcessPool& pool) { return error_of(pool.shutdown()); }},
  };
  stop_at = Clock::now() + std::chrono::seconds(1);  // every pool is made by then
  std::vector<std::jthread> threads;
  for (const auto& r : rounds) {
    threads.emplace_back([&] {
      SCOPED_TRACE(r.stop_at);
      const WorkerCommand command{"/proc/self/exe", {"--stop-at", std::to_string(r.stop_at)}, {}};
      const std::vector<uint64_t> n_values{2};
      const InterruptScope scope(past_stop_at);
      auto pool = ProcessPool::create({{{0}, 1}, {{1}, 1}, {{0, 1}, 2}}, n_values, 2, command);
      std::optional<Error> error = error_of(pool);
      if (r.round) {
        ASSERT_TRUE(pool) << pool.error().render();
        ASSERT_LT(Clock::now(), stop_at);
        error = r.round(**pool);
      }
      EXPECT_LT(Clock::now() - stop_at, END_GRACE + std::chrono::milliseconds(1500));
      ASSERT_TRUE(error);
      EXPECT_TRUE(error->is_interrupted()) << error->render();
    });
  }
  threads.clear();
  EXPECT_TRUE(no_children_left());
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
  if (mode == "--stop-at" && argc > 2) return zelkor::mp::stopping_worker(argv[2]);
  for (const char* scripted : {"--refuse", "--refuse-init", "--quit", "--deaf", "--deaf-at-start"}) {
    if (mode == scripted) return zelkor::mp::scripted_worker(mode);
  }
  ::signal(SIGPIPE, SIG_IGN);  // a dead worker's pipe is an error to report, not a signal
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
