// Process-wide logging: one tagged, timestamped line to standard error and appended to the log
// file, when its level is at most LOG_LEVEL. Level and file are read once per process.
// Levels: 0 error, 1 warn, 2 info (default), 3 debug. Never fails. Tested by log_test.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace zelkor {

// The configured level (LOG_LEVEL, else LOG_DEBUG), initialised on first use.
uint8_t log_level();

// The log file path (LOG_FILE, else "zelkor.log"), initialised on first use.
const std::string& log_path();

// Writes "[<UTC time>][pid=<pid>][<tag>] <message>" when level <= log_level().
void log_at(uint8_t level, std::string_view tag, std::string_view message);

// Formats the message only when the line will be written.
template <typename... Args>
  requires(sizeof...(Args) > 0)
void log_at(uint8_t level, std::string_view tag, fmt::format_string<Args...> format,
            Args&&... args) {
  if (level > log_level()) return;
  log_at(level, tag, std::string_view(fmt::format(format, std::forward<Args>(args)...)));
}

// At debug level only: "<stage> rss_mb=.. loadavg=.. elapsed=.." with the tag "res".
void log_resources(std::string_view stage, std::chrono::steady_clock::time_point start);

// The line that log_at writes, without its newline (exposed for tests).
std::string format_log_line(std::string_view tag, std::string_view message);

// Level for a LOG_LEVEL text (trimmed, ASCII case-insensitive; unknown texts give 2).
uint8_t parse_log_level(std::string_view text);

// Seconds since `start` on the monotonic clock; 0 when `start` lies in the future.
float elapsed_seconds(std::chrono::steady_clock::time_point start);

}  // namespace zelkor
