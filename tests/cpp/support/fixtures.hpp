// Helpers shared by the C++ tests: keys from readable texts, readable failure output for the
// shared values, and capture of log lines.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/interner.hpp"
#include "core/trainer.hpp"
#include "core/types.hpp"

namespace zelkor {
void PrintTo(const Stat& stat, std::ostream* os);
void PrintTo(const SeqEntry& entry, std::ostream* os);
}  // namespace zelkor

namespace zelkor::testing {

// Replaces every "_" of `text` by U+0120, so "a_" reads as a followed by an end-of-word mark.
std::string with_ends(std::string_view text);

// Interns each "|"-separated part of `texts` (after with_ends) and returns the key of their ids.
NgramKey key_of(Interner& interner, std::string_view texts);

// Points LOG_FILE at /dev/null (no log file in the working directory) and sets LOG_LEVEL when
// given. Call before the process writes its first log line, e.g. from a namespace-scope constant.
bool quiet_log(const char* level = nullptr);

// Each entry as its token texts joined by "|", with its count; a repeated sequence fails the test.
std::map<std::string, uint32_t> entry_texts(const Zelkor& t);

// True when this process has no child left, running or unreaped.
bool no_children_left();

// Everything written to standard error while `run` runs.
std::string capture_stderr(const std::function<void()>& run);

struct LogLine {
  std::string time, tag, message;
  long pid = 0;
};
// Splits newline-terminated log output into lines; a malformed line fails the current test.
std::vector<LogLine> parse_log(const std::string& text);

// The log lines written by `run` as "tag|message", each duration "1.234s" shown as "N.ddds".
std::vector<std::string> logged(const std::function<void()>& run);

}  // namespace zelkor::testing
