// UTF-8 and character classes; the Unicode properties come from ICU.
#include "core/unicode.hpp"

#include <unicode/uchar.h>

namespace zelkor {

char32_t utf8_next(std::string_view s, size_t& i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  unsigned char b0 = p[i];
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  size_t len = utf8_len(b0);
  char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  if (len == 1 || b0 > 0xF4 || i + len > n) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = b0 & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = p[i + k];
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return c;
}

void utf8_append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

size_t first_invalid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t start = i;
    char32_t c = utf8_next(s, i);
    // U+FFFD is valid only when it was really encoded (three bytes EF BF BD).
    if (c == 0xFFFD && i - start != 3) return start;
  }
  return std::string_view::npos;
}

bool is_valid_utf8(std::string_view s) { return first_invalid_utf8(s) == std::string_view::npos; }

size_t utf8_count(std::string_view s) {
  size_t count = 0;
  for (unsigned char b : s) count += (b & 0xC0) != 0x80;
  return count;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_printable(char32_t c) {
  if (c == ' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

bool is_alphanumeric_slow(char32_t c) {
  auto cp = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(cp, UCHAR_ALPHABETIC)) return true;
  switch (u_charType(cp)) {
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
      return true;
    default:
      return false;
  }
}

}  // namespace zelkor

namespace zelkor {

std::string_view trim_white_space(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t next = i;
    if (!is_white_space(utf8_next(s, next))) break;
    i = next;
  }
  s.remove_prefix(i);
  // Walk back to each character's lead byte.
  while (!s.empty()) {
    size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    size_t next = start;
    if (!is_white_space(utf8_next(s, next))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

}  // namespace zelkor
