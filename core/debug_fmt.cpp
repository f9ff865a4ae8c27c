// Debug renderings.
#include "core/debug_fmt.hpp"

#include <charconv>
#include <cmath>
#include <fmt/format.h>

#include "core/unicode.hpp"

namespace zelkor {

std::string debug_quoted(std::string_view text, Escape escape) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    char32_t c = utf8_next(text, i);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        if (escape == Escape::Controls ? control : !is_printable(c)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c));
        } else {
          out.append(text.substr(start, i - start));
        }
    }
  }
  out += "\"";
  return out;
}

std::string debug_f32(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0f) return std::signbit(value) ? "-0.0" : "0.0";
  // Shortest round-trip digits in scientific form: "d.ddde[+-]XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  size_t e = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e)) {
    if (ch != '.') digits.push_back(ch);
  }
  int exp = std::stoi(std::string(sci.substr(e + 1)));
  std::string out = negative ? "-" : "";
  float magnitude = std::fabs(value);
  if (magnitude < 1e-4f || magnitude >= 1e16f) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    return out + "e" + std::to_string(exp);
  }
  if (exp < 0) {
    return out + "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  }
  auto int_len = static_cast<size_t>(exp) + 1;
  if (digits.size() <= int_len) {
    return out + digits + std::string(int_len - digits.size(), '0') + ".0";
  }
  return out + digits.substr(0, int_len) + "." + digits.substr(int_len);
}

}  // namespace zelkor
