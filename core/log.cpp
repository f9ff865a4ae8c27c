// Logging: level and path statics, the line format, and the resource line.
#include "core/log.hpp"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <sstream>

#include "core/debug_fmt.hpp"
#include "core/env.hpp"
#include "core/file_io.hpp"
#include "core/unicode.hpp"

namespace zelkor {

uint8_t parse_log_level(std::string_view text) {
  text = trim_white_space(text);
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "0" || lower == "e" || lower == "err" || lower == "error") return 0;
  if (lower == "1" || lower == "w" || lower == "warn" || lower == "warning") return 1;
  if (lower == "3" || lower == "d" || lower == "dbg" || lower == "debug") return 3;
  return 2;
}

uint8_t log_level() {
  static const uint8_t level = [] {
    if (auto text = env_var("LOG_LEVEL")) return parse_log_level(*text);
    return env_is_set("LOG_DEBUG") ? uint8_t{3} : uint8_t{2};
  }();
  return level;
}

const std::string& log_path() {
  static const std::string path = env_var("LOG_FILE").value_or("zelkor.log");
  return path;
}

std::string format_log_line(std::string_view tag, std::string_view message) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  return fmt::format("[{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z][pid={}][{}] {}",
                     utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                     utc.tm_sec, now.tv_nsec / 1000000, ::getpid(), tag, message);
}

void log_at(uint8_t level, std::string_view tag, std::string_view message) {
  if (level > log_level()) return;
  std::string line = format_log_line(tag, message);
  line.push_back('\n');
  flockfile(stderr);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  funlockfile(stderr);
  (void)append_file(log_path(), line);  // logging never fails the caller
}

float elapsed_seconds(std::chrono::steady_clock::time_point start) {
  auto now = std::chrono::steady_clock::now();
  if (start > now) return 0.0f;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
  return static_cast<float>(ns / 1000000000) + static_cast<float>(ns % 1000000000) / 1e9f;
}

void log_resources(std::string_view stage, std::chrono::steady_clock::time_point start) {
  if (log_level() != 3) return;
  std::optional<std::string> rss;
  if (auto statm = read_file("/proc/self/statm")) {
    std::istringstream fields(*statm);
    std::string first, second;
    if (fields >> first >> second) {
      if (auto pages = parse_u64(second)) rss = std::to_string(*pages * 4096 / 1048576);
    }
  }
  std::optional<std::string> load;
  if (auto loadavg = read_file("/proc/loadavg")) load = debug_quoted(trim_white_space(*loadavg));
  log_at(3, "res", "{} rss_mb={} loadavg={} elapsed={}", stage, debug_option(rss),
         debug_option(load), debug_option(debug_f32(elapsed_seconds(start))));
}

}  // namespace zelkor
