// Environment switches.
#include "core/env.hpp"

#include <cstdlib>

#include "core/unicode.hpp"

namespace zelkor {

std::optional<std::string> env_var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

bool env_is_set(const char* name) { return env_var(name).has_value(); }

std::optional<uint64_t> env_u64(const char* name) {
  auto value = env_var(name);
  if (!value) return std::nullopt;
  return parse_u64(*value);
}

std::string system_temp_dir() {
  const char* value = std::getenv("TMPDIR");
  return value != nullptr && *value != '\0' ? value : "/tmp";
}

std::optional<uint64_t> parse_u64(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace zelkor
