// A small JSON value and its pretty writer: two-space indentation, object members in ascending
// byte order of their keys, escapes only for the quote, the backslash and control characters,
// non-ASCII written as is. Tested by export_test.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zelkor {

struct Json {
  using Object = std::map<std::string, Json>;  // std::string orders by unsigned bytes
  using Array = std::vector<Json>;
  std::variant<std::nullptr_t, uint64_t, std::string, Array, Object> value;
};

// Appends the pretty form of `value` (no final line break) to `out`.
void append_json_pretty(std::string& out, const Json& value, int depth = 0);

// The text of a JSON file: the pretty form and "\n".
std::string json_file_text(const Json& value);

}  // namespace zelkor
