// UTF-8 decoding and encoding, and the character classes the trainer uses: White_Space (a fixed
// list), printable and alphanumeric (ASCII letters and digits, or above U+007F Alphabetic or a number
// category Nd/Nl/No). Tested by unicode_test.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelkor {

// U+0120, appended after every word of a normalised text.
inline constexpr char32_t END_CHAR = 0x0120;
inline constexpr std::string_view END_TOKEN = "\xC4\xA0";

// Decodes the scalar value starting at s[i] and advances i past it. Input is expected to be
// valid UTF-8; a malformed sequence decodes as U+FFFD and advances by one byte (never reads
// past the end).
char32_t utf8_next(std::string_view s, size_t& i);

// Appends the UTF-8 encoding of c.
void utf8_append(std::string& out, char32_t c);

// Byte length of the UTF-8 sequence that starts with lead byte b (1 for a stray byte).
inline size_t utf8_len(unsigned char b) {
  return b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

bool is_valid_utf8(std::string_view s);

// Offset of the first byte that does not start a valid UTF-8 sequence; npos when all is valid.
size_t first_invalid_utf8(std::string_view s);

// Number of scalar values of valid UTF-8 text.
size_t utf8_count(std::string_view s);

bool is_white_space(char32_t c);

// Printable as Python's str.isprintable() has it: not of the categories Cc, Cf, Cs, Co, Cn, Zl, Zp,
// nor Zs other than U+0020.
bool is_printable(char32_t c);

// Non-ASCII part of is_alphanumeric (an ICU property lookup).
bool is_alphanumeric_slow(char32_t c);

inline bool is_alphanumeric(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  }
  return is_alphanumeric_slow(c);
}

}  // namespace zelkor

namespace zelkor {

// `s` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view s);

}  // namespace zelkor
