// UTF-8 decoding, encoding and validation, character classes and White_Space trimming.
#include <gtest/gtest.h>

#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Valid rows also encode back to their bytes, one character at a time.
TEST(Unicode, DecodeEncodeAndValidate) {
  const struct {
    std::string bytes;
    bool valid;
    std::u32string decoded;
  } rows[] = {
      {"a\xC4\xA0\xEF\xBF\xBD", true, U"a\u0120\uFFFD"},
      {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true,
       U"\x7F\x80\u07FF\u0800\uFFFF\U00010000\U0010FFFF"},  // the edges of each length
      {"\xFF", false, U"\uFFFD"},
      {"\xC0\xAF", false, U"\uFFFD\uFFFD"},                  // overlong
      {"\xED\xA0\x80", false, U"\uFFFD\uFFFD\uFFFD"},        // surrogate
      {"\xE4\xB8", false, U"\uFFFD\uFFFD"},                  // truncated at the end
      {"\xF4\x90\x80\x80", false, U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.bytes));
    EXPECT_EQ(is_valid_utf8(row.bytes), row.valid);
    std::u32string decoded;
    for (size_t i = 0; i < row.bytes.size();) decoded.push_back(utf8_next(row.bytes, i));
    EXPECT_EQ(decoded, row.decoded);
    if (!row.valid) continue;
    std::string encoded;
    for (char32_t c : decoded) utf8_append(encoded, c);
    EXPECT_EQ(encoded, row.bytes);
    EXPECT_EQ(utf8_count(encoded), decoded.size());
  }
}

TEST(Unicode, ClassesAndTrim) {
  auto expect = [](bool (*is)(char32_t), std::u32string_view chars, bool want) {
    for (char32_t c : chars) EXPECT_EQ(is(c), want) << uint32_t(c);
  };
  expect(is_alphanumeric, U"aZ09é中٣½Ⅻß", true);
  expect(is_alphanumeric, U" ,_-€“\U0001F600", false);
  expect(is_white_space, U"\t\r \x85\xA0\u1680\u2000\u200A\u2028\u2029\u202F\u205F\u3000", true);
  expect(is_white_space, U"\x08\x0E\u200B\u180E\uFEFF\u0120", false);
  EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
  EXPECT_EQ(trim_white_space("\xE3\x80\x80x\xC2\xA0"), "x");
  EXPECT_EQ(trim_white_space(" \t "), "");
  EXPECT_EQ(trim_white_space("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

}  // namespace
}  // namespace zelkor
