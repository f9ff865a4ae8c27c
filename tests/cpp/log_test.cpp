// Logging: level parsing, the line format, and the once-per-process LOG_LEVEL / LOG_FILE
// configuration, exercised in forked children so every case starts with fresh statics.
#include "core/log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using namespace std::chrono_literals;
using testing::parse_log;
using testing::TempDir;
using Env = std::vector<std::pair<const char*, std::string>>;

// The parent never calls log_at / log_level itself, so every child starts uninitialised. Runs
// `body` in a fork with the log variables cleared, `env` applied, a non-UTC time zone, umask 0
// and the working directory `cwd`.
struct Child {
  int rc;
  pid_t pid;
  std::string err;
};
Child run_child(const std::string& cwd, const Env& env, const std::function<int()>& body) {
  const TempDir dir;
  const std::string err_path = dir.path("stderr");
  const pid_t pid = fork();
  if (pid == 0) {
    for (const char* name : {"LOG_LEVEL", "LOG_DEBUG", "LOG_FILE"}) unsetenv(name);
    for (const auto& [name, value] : env) setenv(name, value.c_str(), 1);
    setenv("TZ", "ZZZ-5:30", 1);  // a zone far from UTC shows any use of local time
    umask(0);
    if (!std::freopen(err_path.c_str(), "w", stderr) || chdir(cwd.c_str()) != 0) _exit(99);
    _exit(body());
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "child died, status " << status;
  return {WEXITSTATUS(status), pid, TempDir::read(err_path)};
}

TEST(ParseLogLevel, TrimsFoldsCaseAndDefaultsToInfo) {
  const std::pair<const char*, int> cases[] = {
      {"0", 0}, {"e", 0}, {"err", 0}, {"Error", 0}, {"1", 1}, {"W", 1}, {"warn", 1},
      {" Warning ", 1}, {"\tWARNING\n", 1}, {"3", 3}, {"d", 3}, {"DBG", 3}, {"debug", 3},
      {"info", 2}, {"4", 2}, {"", 2}, {"00", 2}, {"warnings", 2}, {"\xC3\x89rror", 2}};
  for (const auto& [text, level] : cases) EXPECT_EQ(parse_log_level(text), level) << text;
}

// The level comes from LOG_LEVEL, else LOG_DEBUG; the file from LOG_FILE, else zelkor.log. A
// value that is not UTF-8 counts as absent; an unwritable file still leaves stderr. Both are read
// once: changing the variables after the first line changes nothing. Every line carries the UTC
// time and the pid, alike on stderr and in the file (created with mode 0666 under umask 0).
TEST(Log, LevelFileAndLineFormat) {
  const struct {
    Env env;
    int level;
    const char* file;  // receives the lines, if any
  } cases[] = {
      {{}, 2, "zelkor.log"},
      {{{"LOG_LEVEL", "\nWarning\t"}}, 1, "zelkor.log"},
      {{{"LOG_DEBUG", ""}}, 3, "zelkor.log"},
      {{{"LOG_LEVEL", "info"}, {"LOG_DEBUG", "1"}}, 2, "zelkor.log"},
      {{{"LOG_DEBUG", "\xFF"}}, 2, "zelkor.log"},
      {{{"LOG_LEVEL", "\xFF"}, {"LOG_DEBUG", "0"}, {"LOG_FILE", "custom.log"}}, 3, "custom.log"},
      {{{"LOG_FILE", "bad\xFF.log"}}, 2, "zelkor.log"},
      {{{"LOG_FILE", ""}}, 2, nullptr},
      {{{"LOG_FILE", "missing/dir/x.log"}}, 2, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.empty() ? std::string("no variables") : c.env.back().second);
    const TempDir cwd;
    const time_t before = std::time(nullptr);
    const auto [rc, pid, err] = run_child(cwd.path(), c.env, [] {
      for (int round = 0; round < 2; ++round) {
        for (int l = 0; l <= 3; ++l) {  // both forms of log_at, each gated
          l % 2 ? log_at(l, "lvl", "level {}", l) : log_at(l, "lvl", fmt::format("level {}", l));
        }
        setenv("LOG_LEVEL", "0", 1);
        setenv("LOG_FILE", "later.log", 1);
      }
      return log_level();
    });
    EXPECT_EQ(rc, c.level);
    const time_t after = std::time(nullptr);
    const auto lines = parse_log(err);
    ASSERT_EQ(lines.size(), 2u * (c.level + 1)) << err;  // the same levels in both rounds
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].tag + "|" + lines[i].message,
                fmt::format("lvl|level {}", i % (c.level + 1)));
      EXPECT_EQ(lines[i].pid, pid);
      std::tm tm{};
      ASSERT_NE(strptime(lines[i].time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
      EXPECT_TRUE(timegm(&tm) >= before - 1 && timegm(&tm) <= after + 1) << lines[i].time;
    }
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(cwd.path())) {
      files.push_back(e.path().filename());
      EXPECT_EQ(TempDir::read(e.path()), err);
      struct stat st{};
      ASSERT_EQ(stat(e.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0666u);
    }
    EXPECT_EQ(files, c.file ? std::vector<std::string>{c.file} : std::vector<std::string>{});
  }
}

// The resource line: at debug level only, with the tag "res" and the elapsed time of its stage
// (0.0 for a start in the future).
TEST(Log, ResourceLineOnlyAtDebug) {
  auto resources = [] {
    const auto now = std::chrono::steady_clock::now();
    log_resources("after_initial_stats", now - 2500ms);
    log_resources("train_mp_step", now + 1h);
    return 0;
  };
  const TempDir cwd;
  EXPECT_EQ(run_child(cwd.path(), {{"LOG_LEVEL", "info"}}, resources).err, "");
  const std::string err =
      run_child(cwd.path(), {{"LOG_LEVEL", "3"}, {"LOG_FILE", "/dev/null"}}, resources).err;
  auto line = [](const std::string& stage, const std::string& elapsed) {
    return R"(\[[^\]]+\]\[pid=\d+\]\[res\] )" + stage + R"( rss_mb=Some\(\d+\) )" +
           R"(loadavg=Some\("[\d.]+ [\d.]+ [\d.]+ \d+/\d+ \d+"\) elapsed=Some\()" + elapsed +
           "\\)\n";
  };
  const std::regex expected(line("after_initial_stats", R"((2\.[5-9]\d*|[3-9]\.\d+))") +
                            line("train_mp_step", R"(0\.0)"));
  EXPECT_TRUE(std::regex_match(err, expected)) << err;
}

// Logging is best effort: a LOG_FILE that is a FIFO without a reader (or no regular file at
// all) is skipped at once instead of blocking the first line forever.
TEST(Log, NonRegularLogFileIsSkippedWithoutWaiting) {
  const TempDir cwd;
  ASSERT_EQ(mkfifo(cwd.path("fifo").c_str(), 0600), 0);
  const auto [rc, pid, err] = run_child(cwd.path(), {{"LOG_FILE", cwd.path("fifo")}}, [] {
    alarm(10);  // a blocked open ends the child with SIGALRM
    log_at(2, "t", "line");
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(parse_log(err).size(), 1u) << err;
}

}  // namespace
}  // namespace zelkor
