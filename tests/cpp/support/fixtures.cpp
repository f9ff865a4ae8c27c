// Test helpers.
#include "tests/cpp/support/fixtures.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <sstream>

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os) { *os << debug_string(stat); }
void PrintTo(const SeqEntry& entry, std::ostream* os) { *os << debug_string(entry); }
}  // namespace zelkor

namespace zelkor::testing {

std::string with_ends(std::string_view text) {
  std::string out;
  for (char c : text) c == '_' ? out.append("\xC4\xA0") : out.append(1, c);
  return out;
}

NgramKey key_of(Interner& interner, std::string_view texts) {
  NgramKey key;
  for (size_t start = 0;;) {
    const size_t bar = texts.find('|', start);
    key.push_back(interner.intern(with_ends(texts.substr(start, bar - start))));
    if (bar == std::string_view::npos) return key;
    start = bar + 1;
  }
}

bool quiet_log(const char* level) {
  setenv("LOG_FILE", "/dev/null", 1);
  if (level != nullptr) setenv("LOG_LEVEL", level, 1);
  return true;
}

std::map<std::string, uint32_t> entry_texts(const Zelkor& t) {
  std::map<std::string, uint32_t> out;
  for (const SeqEntry& e : t.entries) {
    std::string text;
    for (uint32_t id : e.tokens) text += (text.empty() ? "" : "|") + t.interner.id_to_token.at(id);
    EXPECT_TRUE(out.emplace(text, e.freq).second) << "duplicate sequence " << text;
  }
  return out;
}

bool no_children_left() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

std::string capture_stderr(const std::function<void()>& run) {
  ::testing::internal::CaptureStderr();
  run();
  return ::testing::internal::GetCapturedStderr();
}

std::vector<LogLine> parse_log(const std::string& text) {
  static const std::regex re(
      R"(^\[(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)\]\[pid=(\d+)\]\[([^\]]*)\] (.*)$)");
  EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
  std::vector<LogLine> lines;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    std::smatch m;
    if (std::regex_match(raw, m, re)) {
      lines.push_back({m[1], m[3], m[4], std::stol(m[2])});
    } else {
      ADD_FAILURE() << "malformed log line: " << raw;
    }
  }
  return lines;
}

std::vector<std::string> logged(const std::function<void()>& run) {
  static const std::regex secs(R"(\d+\.(\d+)s)");
  std::vector<std::string> out;
  for (const LogLine& line : parse_log(capture_stderr(run))) {
    std::string msg = line.message;
    for (std::smatch m; std::regex_search(msg, m, secs);) {
      msg.replace(m.position(), m.length(), "N." + std::string(m[1].length(), 'd') + "s");
    }
    out.push_back(line.tag + "|" + msg);
  }
  return out;
}

}  // namespace zelkor::testing
