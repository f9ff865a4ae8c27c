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
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace zelkor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Env = std::vector<std::pair<const char*, std::string>>;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Line {
  std::string timestamp, tag, message;
  long pid = 0;
};

// Splits newline-terminated output into parsed lines; an unparsable line fails the test.
std::vector<Line> parse_lines(const std::string& text) {
  static const std::regex re(
      R"(^\[(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)\]\[pid=(\d+)\]\[([^\]]*)\] (.*)$)");
  std::vector<Line> lines;
  EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    std::smatch m;
    if (std::regex_match(raw, m, re)) lines.push_back({m[1], m[3], m[4], std::stol(m[2])});
    else ADD_FAILURE() << "malformed line: " << raw;
  }
  return lines;
}

Strings messages(const std::string& text) {
  Strings out;
  for (const auto& l : parse_lines(text)) out.push_back(l.message);
  return out;
}

// A temporary root holding the child's working directory "cwd" and its captured stderr.
// The parent never calls log_at / log_level itself, so every child starts uninitialised.
class LogChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/log_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    fs::create_directory(cwd_ = root_ / "cwd");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs `body` in a fork with the log variables cleared, `env` applied, umask 0, the working
  // directory at cwd_ and stderr captured. Returns the exit code; sets pid_ and err_.
  int run_child(const Env& env, const std::function<int()>& body) {
    const fs::path err_path = root_ / "stderr";
    const pid_t pid = fork();
    if (pid < 0) ADD_FAILURE() << "fork failed";
    if (pid == 0) {
      for (const char* name : {"LOG_LEVEL", "LOG_DEBUG", "LOG_FILE"}) unsetenv(name);
      for (const auto& [name, value] : env) setenv(name, value.c_str(), 1);
      umask(0);
      FILE* err = std::freopen(err_path.c_str(), "w", stderr);
      if (err == nullptr || chdir(cwd_.c_str()) != 0) _exit(99);
      _exit(body());
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child died, status " << status;
    pid_ = pid;
    err_ = slurp(err_path);
    return WEXITSTATUS(status);
  }

  Strings cwd_entries() const {
    Strings names;
    for (const auto& e : fs::directory_iterator(cwd_)) names.push_back(e.path().filename());
    return names;
  }

  fs::path root_, cwd_;
  pid_t pid_ = 0;
  std::string err_;
};

TEST(ParseLogLevel, TrimsFoldsCaseAndDefaultsToInfo) {
  const std::pair<const char*, int> cases[] = {
      {"0", 0}, {"e", 0}, {"ERR", 0}, {"Error", 0}, {"1", 1}, {"w", 1}, {"warn", 1},
      {" Warning ", 1}, {"\tWARNING\n", 1}, {"3", 3}, {"D", 3}, {"dbg", 3}, {"debug", 3},
      {"2", 2}, {"info", 2}, {"trace", 2}, {"4", 2}, {"", 2}, {"  ", 2}, {"00", 2}, {"+1", 2},
      {"warnings", 2}, {"de bug", 2}, {"\xC3\x89rror", 2}};
  for (const auto& [text, level] : cases) EXPECT_EQ(parse_log_level(text), level) << text;
}

TEST_F(LogChildTest, LineFormatMatchesOnStderrAndFileAlike) {
  const time_t before = std::time(nullptr);
  // A non-UTC zone in the child shows any use of local time.
  run_child({{"LOG_LEVEL", "debug"}, {"LOG_FILE", "out.log"}, {"TZ", "ZZZ-5:30"}}, [] {
    log_at(0, "tag-a", "plain message");
    log_at(2, "fmt", "x={} y={}", 42, "s");
    log_at(3, "", "100% {} not a format");
    return 0;
  });
  const time_t after = std::time(nullptr);
  auto lines = parse_lines(err_);
  ASSERT_EQ(lines.size(), 3u) << err_;
  const char* expected[][2] = {
      {"tag-a", "plain message"}, {"fmt", "x=42 y=s"}, {"", "100% {} not a format"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].tag, expected[i][0]);
    EXPECT_EQ(lines[i].message, expected[i][1]);
    EXPECT_EQ(lines[i].pid, pid_);
    std::tm tm{};
    ASSERT_NE(strptime(lines[i].timestamp.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
    EXPECT_TRUE(timegm(&tm) >= before - 1 && timegm(&tm) <= after + 1) << lines[i].timestamp;
  }
  EXPECT_EQ(slurp(cwd_ / "out.log"), err_);
  struct stat st{};
  ASSERT_EQ(stat((cwd_ / "out.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(LogChildTest, LevelComesFromLogLevelElseLogDebug) {
  const struct {
    Env env;
    int level;
  } cases[] = {
      {{}, 2}, {{{"LOG_LEVEL", " Warning "}}, 1}, {{{"LOG_LEVEL", "4"}}, 2},
      {{{"LOG_LEVEL", "E"}}, 0}, {{{"LOG_LEVEL", "\nDEBUG\t"}}, 3}, {{{"LOG_DEBUG", ""}}, 3},
      {{{"LOG_LEVEL", "info"}, {"LOG_DEBUG", "1"}}, 2},
      {{{"LOG_LEVEL", ""}, {"LOG_DEBUG", "1"}}, 2},
      {{{"LOG_LEVEL", "1"}, {"LOG_DEBUG", "1"}}, 1},
      {{{"LOG_DEBUG", "\xFF"}}, 2},  // not UTF-8: counts as absent
      {{{"LOG_LEVEL", "\xFF"}, {"LOG_DEBUG", "0"}}, 3},
      {{{"LOG_LEVEL", "err\xFF"}}, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env.empty() ? std::string("no variables") : c.env[0].second);
    int rc = run_child(c.env, [] {
      for (int level = 0; level <= 3; ++level) log_at(level, "lvl", "level {}", level);
      return log_level();
    });
    EXPECT_EQ(rc, c.level);
    Strings expected;
    for (int l = 0; l <= c.level; ++l) expected.push_back("level " + std::to_string(l));
    EXPECT_EQ(messages(err_), expected);
    EXPECT_EQ(slurp(cwd_ / "zelkor.log"), err_);
    fs::remove(cwd_ / "zelkor.log");
  }
}

TEST_F(LogChildTest, LogFileChoiceAndUnwritablePathsKeepStderr) {
  const struct {
    std::optional<std::string> log_file;
    std::optional<std::string> written;  // file in cwd that receives the lines, if any
  } cases[] = {
      {std::nullopt, "zelkor.log"}, {"custom.log", "custom.log"},
      {"bad\xFF.log", "zelkor.log"},  // not UTF-8: default path
      {"", std::nullopt}, {"missing/dir/x.log", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_file.value_or("<unset>"));
    Env env;
    if (c.log_file) env.emplace_back("LOG_FILE", *c.log_file);
    run_child(env, [] {
      log_at(1, "f", "first");
      log_at(2, "f", "second");
      return 0;
    });
    EXPECT_EQ(messages(err_), (Strings{"first", "second"}));
    EXPECT_EQ(cwd_entries(), c.written ? Strings{*c.written} : Strings{});
    if (c.written) {
      EXPECT_EQ(slurp(cwd_ / *c.written), err_);
    }
    for (const auto& name : cwd_entries()) fs::remove(cwd_ / name);
  }
}

TEST_F(LogChildTest, LevelAndPathAreFixedOnceChosen) {
  // The path is chosen by the first line that passes the level gate, then kept.
  run_child({{"LOG_LEVEL", "1"}, {"LOG_FILE", "a.log"}}, [] {
    log_at(2, "t", "suppressed");
    setenv("LOG_FILE", "b.log", 1);
    log_at(1, "t", "one");
    setenv("LOG_FILE", "c.log", 1);
    setenv("LOG_LEVEL", "3", 1);
    log_at(0, "t", "two");
    log_at(3, "t", "still suppressed");
    return 0;
  });
  EXPECT_EQ(messages(err_), (Strings{"one", "two"}));
  EXPECT_EQ(cwd_entries(), Strings{"b.log"});
  EXPECT_EQ(slurp(cwd_ / "b.log"), err_);
}

TEST_F(LogChildTest, ResourceLineOnlyAtDebug) {
  fs::path rss_path = root_ / "rss_pages";
  auto resources = [&] {
    auto now = std::chrono::steady_clock::now();
    log_resources("after_initial_stats", now - 2500ms);
    log_resources("train_mp_step", now + 1h);
    std::ofstream(rss_path) << slurp("/proc/self/statm");  // "<size> <resident> ..." pages
    return 0;
  };
  run_child({{"LOG_LEVEL", "info"}}, resources);  // not even the default file appears
  EXPECT_EQ(err_, "");
  EXPECT_TRUE(cwd_entries().empty());

  run_child({{"LOG_LEVEL", "3"}, {"LOG_FILE", "out.log"}}, resources);
  auto lines = parse_lines(err_);
  ASSERT_EQ(lines.size(), 2u) << err_;
  const std::regex re(
      R"(^(\w+) rss_mb=Some\((\d+)\) loadavg=Some\("[\d.]+ [\d.]+ [\d.]+ \d+/\d+ \d+"\) )"
      R"(elapsed=Some\((\d+\.\d+)\)$)");
  long size = 0, resident = 0;
  std::istringstream(slurp(rss_path)) >> size >> resident;
  std::smatch m[2];
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(lines[i].tag, "res");
    ASSERT_TRUE(std::regex_match(lines[i].message, m[i], re)) << lines[i].message;
    EXPECT_NEAR(std::stol(m[i][2]), resident * 4096 / 1048576, 4);  // whole megabytes
  }
  EXPECT_EQ(m[0][1], "after_initial_stats");
  EXPECT_GE(std::stof(m[0][3]), 2.5f);
  EXPECT_LT(std::stof(m[0][3]), 60.0f);
  EXPECT_EQ(m[1][1], "train_mp_step");
  EXPECT_EQ(m[1][3], "0.0");
  EXPECT_EQ(slurp(cwd_ / "out.log"), err_);
}

}  // namespace
}  // namespace zelkor
