// Multi-process corpus preprocessing with real workers (this binary, started with "--as-worker"):
// its numbers in a table, the example corpus with its log lines, ids in byte order whatever the
// workers and buckets, and failures (a worker that cannot start, answers wrongly or dies, a spill
// that cannot be written) that leave the trainer as it was, no child and no spill directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>

#include "multiproc/bucket_count.hpp"
#include "multiproc/preprocess_mp.hpp"
#include "multiproc/private_dir.hpp"
#include "multiproc/token_spill.hpp"
#include "multiproc/worker_loop.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor::mp {
namespace {

using zelkor::testing::entry_texts;
using zelkor::testing::logged;
using zelkor::testing::no_children_left;
using zelkor::testing::TempDir;
const bool kQuiet = zelkor::testing::quiet_log("debug");
const std::string G = "\xC4\xA0";

TEST(PreprocessRules, PlanBucketsAndNames) {
  const struct {
    uint64_t lines, workers, chunk_size, chunks, buckets;
  } plans[] = {{10000, 4, 4000, 3, 256},    {1000000, 8, 20000, 50, 256}, {0, 4, 4000, 0, 256},
               {50000, 8, 6250, 8, 256},    {100001, 5, 20000, 6, 256},   {10, 300, 4000, 1, 512},
               {9000, 1, 9000, 1, 256}};
  for (const auto& p : plans) {
    const PreprocessPlan plan = preprocess_plan(p.lines, p.workers);
    EXPECT_EQ(std::tuple(plan.workers, plan.chunk_size, plan.chunks, plan.buckets),
              std::tuple(p.workers, p.chunk_size, p.chunks, p.buckets)) << p.lines << " lines, " << p.workers;
  }
  EXPECT_EQ(preprocess_plan(1, 0).workers, counting_pool_threads(0));
  const std::pair<const char*, uint64_t> buckets[] = {
      {"+1000", 1000}, {"10", 64}, {"", 256}, {"-5", 256}, {"12a", 256}, {"18446744073709551616", 256},
      {"4194304", MAX_BUCKETS}};
  for (const auto& [value, expected] : buckets) {
    setenv("MP_BUCKETS", value, 1);
    EXPECT_EQ(preprocess_bucket_count(4), expected) << value;
  }
  unsetenv("MP_BUCKETS");
  EXPECT_EQ(spill_dir_name(123, 1.0f), "zk_tok_buckets_123_1065353216");
  EXPECT_EQ(spill_dir_name(123, 1.0f, 2), "zk_tok_buckets_123_1065353218");
}

// A name already taken (here a planted link) is neither used, followed nor removed.
TEST(PreprocessRules, PrivateDirTakesAFreshNameAndRemovesOnlyIt) {
  TempDir tmp;
  std::filesystem::create_directory(tmp.path("victim"));
  tmp.write("victim/keep", "x");
  const std::string root = tmp.path("a/b");
  ASSERT_TRUE(make_private_dirs(root));
  std::filesystem::create_directory_symlink(tmp.path("victim"), root + "/taken");
  std::string made;
  {
    auto dir = PrivateDir::create(root, [](unsigned attempt) { return attempt == 0 ? "taken" : "fresh"; });
    ASSERT_TRUE(dir) << dir.error().render();
    made = dir->path();
    EXPECT_EQ(made, root + "/fresh");
    struct stat st {};
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    tmp.write("a/b/fresh/file", "y");
  }
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_TRUE(std::filesystem::is_symlink(root + "/taken"));
  EXPECT_EQ(TempDir::read(tmp.path("victim/keep")), "x");
  auto never = PrivateDir::create(root, [](unsigned) { return "taken"; });
  ASSERT_FALSE(never);
  EXPECT_EQ(never.error().render(), "File exists (os error 17)");
}

Zelkor trainer_with(uint64_t num_workers) {
  Zelkor t;
  t.config.multi_process = true;
  t.config.num_workers = num_workers;
  return t;
}

// The spill goes to TMPDIR, here a directory of the test's own that must end empty (in memory
// when it can: creating thousands of files on a disk costs more than the rest of the test).
class Preprocess : public ::testing::Test {
 protected:
  Preprocess() : tmp_(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path()) {}
  void SetUp() override { setenv("TMPDIR", tmp_.path().c_str(), 1); }
  void TearDown() override {
    unsetenv("TMPDIR");
    unsetenv("MP_BUCKETS");
    EXPECT_TRUE(std::filesystem::is_empty(tmp_.path()));
    EXPECT_TRUE(no_children_left());
  }
  TempDir tmp_;
  const WorkerCommand self_ = worker_command("/proc/self/exe");
};

TEST_F(Preprocess, ExampleCorpusWithItsLogLines) {
  Zelkor t = trainer_with(2);
  Result<void> built;
  const std::vector<std::string> lines = logged([&] { built = build_vocab_multiprocess(t, std::vector<std::string>{"ba"}, self_); });
  ASSERT_TRUE(built) << built.error().render();
  EXPECT_EQ(t.interner.id_to_token, (std::vector<std::string>{"a", "b", G}));
  EXPECT_EQ(t.interner.token_to_id.at(G), 2u);
  EXPECT_EQ(t.interner.flags, (std::vector<uint8_t>{1, 1, 12}));
  EXPECT_EQ(t.interner.end_counts, (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{1, 0, 2}, 1}}));

  std::vector<std::string> mine, empty_files;
  const std::regex empty_file("build_vocab_mp\\|warn: empty bucket file \"" + tmp_.path() +
                              "/zk_tok_buckets_" + std::to_string(::getpid()) +
                              "_\\d+/bucket_\\d+\\.txt\" \\(elapsed_total=N\\.dds\\)");
  for (const std::string& line : lines) {
    if (std::regex_match(line, empty_file)) {
      empty_files.push_back(line);
    } else if (line.starts_with("build_vocab_mp|") || line.starts_with("res|")) {
      mine.push_back(line.substr(0, line.find(" rss_mb=")));
    }
  }
  EXPECT_GE(empty_files.size(), 2045u);  // the three symbols fill at most three of the 2048 files
  EXPECT_EQ(mine, (std::vector<std::string>{
                      "build_vocab_mp|start corpus_lines=1 workers=2 chunk_size=4000",
                      "build_vocab_mp|bucket fill done partial_maps=1 buckets=256 elapsed=N.dds",
                      "build_vocab_mp|bucket reduce done unique_seqs=1 elapsed=N.dds",
                      "build_vocab_mp|token spill start unique_seqs=1 elapsed_total=N.dds",
                      "build_vocab_mp|token spill done tokens=3 buckets=2048 elapsed_total=N.dds",
                      "res|after_token_spill",
                      "build_vocab_mp|token buckets dedup done unique_tokens=3 buckets=2048 elapsed=N.dds",
                      "res|after_token_dedup",
                      "build_vocab_mp|token sort done token_set=3 elapsed=N.dds",
                      "build_vocab_mp|token id assign done token_set=3 elapsed=N.dds elapsed_total=N.dds",
                      "build_vocab_mp|entries mapped entries=1 elapsed=N.dds elapsed_total=N.dds"}));
}

std::vector<std::string> random_lines(size_t count) {
  const std::vector<std::string> pieces = {"a", "b", "c", "é", "Ω", "中", "\xF0\x9F\x98\x80", "~", "Z",
                                           " ", " ", "\t", "\xE3\x80\x80"};
  std::mt19937 rng(7);
  std::vector<std::string> lines(count);
  for (std::string& line : lines) {
    for (int n = rng() % 12; n >= 0; --n) line += pieces[rng() % pieces.size()];
  }
  return lines;
}

TEST_F(Preprocess, IdsFollowByteOrderWhateverTheWorkersAndBuckets) {
  const std::vector<std::string> lines = random_lines(10000);
  Zelkor in_process;
  in_process.build_vocab(lines);
  std::vector<std::string> symbols = in_process.interner.id_to_token;
  std::ranges::sort(symbols);

  const struct {
    uint64_t workers;
    const char* buckets;
    const char* fill_line;
  } runs[] = {{4, nullptr, "build_vocab_mp|bucket fill done partial_maps=3 buckets=256 elapsed=N.dds"},
              {1, "64", "build_vocab_mp|bucket fill done partial_maps=1 buckets=64 elapsed=N.dds"},
              {3, "+1000", "build_vocab_mp|bucket fill done partial_maps=3 buckets=1000 elapsed=N.dds"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.workers);
    if (run.buckets != nullptr) setenv("MP_BUCKETS", run.buckets, 1);
    Zelkor t = trainer_with(run.workers);
    Result<void> built;
    const std::vector<std::string> log = logged([&] { built = build_vocab_multiprocess(t, lines, self_); });
    ASSERT_TRUE(built) << built.error().render();
    EXPECT_NE(std::ranges::find(log, run.fill_line), log.end());
    EXPECT_EQ(t.interner.id_to_token, symbols);
    EXPECT_EQ(entry_texts(t), entry_texts(in_process));
    Interner interned;
    for (const std::string& symbol : symbols) interned.intern(symbol);
    EXPECT_EQ(std::tuple(t.interner.char_lens, t.interner.flags, t.interner.end_counts),
              std::tuple(interned.char_lens, interned.flags, interned.end_counts));
  }
}

TEST_F(Preprocess, FailuresLeaveTheTrainerAsItWas) {
  const std::vector<std::string> lines = random_lines(30000);  // three chunks, each more than a pipe holds
  const struct {
    const char* program;
    const char* mode;
    std::string error;
  } cases[] = {
      {"/nonexistent/worker", "", "No such file or directory (os error 2)"},
      {"/proc/self/exe", "--wrong-reply", "unexpected preprocess reply: Error(\"no\")"},
      {"/proc/self/exe", "--quit", "[ipc:worker:preprocess] read len failed: unexpected end of file"},
      {"/proc/self/exe", "--deaf", "Broken pipe (os error 32)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Zelkor t = trainer_with(3);
    t.interner.intern("zz");
    t.entries = {{{0}, 5}};
    Result<void> built;
    logged([&] { built = build_vocab_multiprocess(t, lines, WorkerCommand{c.program, {c.mode}, {}}); });
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().render(), c.error);
    EXPECT_EQ(t.interner.id_to_token, std::vector<std::string>{"zz"});
    EXPECT_EQ(t.entries, (std::vector<SeqEntry>{{{0}, 5}}));
    EXPECT_TRUE(no_children_left());
  }
}

// The spill cannot grow a file past 16 KiB: the error comes after the spill directory exists,
// which is removed all the same.
TEST_F(Preprocess, ASpillThatCannotBeWrittenIsRemoved) {
  std::vector<std::string> lines;
  for (int n = 1; n <= 300; ++n) lines.push_back(std::string(n, 'a'));
  Zelkor t = trainer_with(2);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 16384;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Result<void> built = build_vocab_multiprocess(t, lines, self_);  // stderr is no file here
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_FALSE(built);
  EXPECT_EQ(built.error().render(), "File too large (os error 27)");
  EXPECT_TRUE(t.entries.empty());
}

// A worker that answers its first request with Error("no") and then serves nothing ("--wrong-reply"),
// ends without answering ("--quit"), or reads nothing ("--deaf").
int scripted_worker(std::string_view mode) {
  if (mode == "--deaf") return ::close(STDIN_FILENO);
  FrameReader input(STDIN_FILENO);
  if (!read_request(input, "worker:req")) return 1;
  if (mode == "--quit") return 0;
  if (!write_msg(STDOUT_FILENO, WorkerResponse{ErrorReply{"no"}})) return 1;
  while (read_request(input, "worker:req")) {
  }
  return 0;
}

}  // namespace
}  // namespace zelkor::mp

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "--as-worker") return zelkor::mp::worker_loop() ? 0 : 1;
  if (mode == "--wrong-reply" || mode == "--quit" || mode == "--deaf") return zelkor::mp::scripted_worker(mode);
  ::signal(SIGPIPE, SIG_IGN);  // a dead worker's pipe is an error to report, not a signal
  ::signal(SIGXFSZ, SIG_IGN);  // so is a file size limit
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
