// Debug renderings shared by log lines and error texts: bracketed id lists ("[4, 7]"), quoted
// strings with escapes, optional values ("Some(..)" / "None") and the shortest round-trip form
// of a 32-bit float. Tested by debug_fmt_test.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelkor {

// "[a, b, c]".
template <typename T>
std::string debug_list(std::span<const T> values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(values[i]);
  }
  out += "]";
  return out;
}

template <typename Container>
std::string debug_list(const Container& c) {
  return debug_list(std::span<const typename Container::value_type>(c.data(), c.size()));
}

// What \u{hex} stands for in a quoted string besides \" \\ \n \r \t.
enum class Escape {
  Controls,      // the other control characters (C0, DEL, C1)
  NonPrintable,  // every other character that is_printable() refuses (U+200B, U+2028, ...)
};

// Double-quoted, with \" \\ \n \r \t and \u{hex} for the other characters `escape` names.
std::string debug_quoted(std::string_view text, Escape escape = Escape::Controls);

// Shortest decimal that reads back as the same float, at least one digit after the point
// ("1.0", "0.25"), exponent form below 1e-4 or from 1e16 ("1e-5").
std::string debug_f32(float value);

// "None", or "Some(" + rendered + ")".
inline std::string debug_option(const std::optional<std::string>& rendered) {
  return rendered ? "Some(" + *rendered + ")" : std::string("None");
}

}  // namespace zelkor
