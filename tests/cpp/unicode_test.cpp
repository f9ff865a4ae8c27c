// UTF-8 decoding and validation, character classes and White_Space trimming.
#include <gtest/gtest.h>

#include "core/unicode.hpp"

namespace zelkor {
namespace {

TEST(Unicode, DecodeAndValidate) {
  struct Row {
    std::string bytes;
    bool valid;
    std::vector<char32_t> decoded;
  };
  const std::vector<Row> rows = {
      {"a\xC4\xA0", true, {U'a', 0x120}},
      {"\xF0\x9F\x98\x80", true, {0x1F600}},
      {"\xEF\xBF\xBD", true, {0xFFFD}},
      {"\xFF", false, {0xFFFD}},
      {"\xC0\xAF", false, {0xFFFD, 0xFFFD}},          // overlong
      {"\xED\xA0\x80", false, {0xFFFD, 0xFFFD, 0xFFFD}},  // surrogate
      {"\xE4\xB8", false, {0xFFFD, 0xFFFD}},          // truncated at the end
      {"\xF4\x90\x80\x80", false, {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},  // above U+10FFFF
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.bytes));
    EXPECT_EQ(is_valid_utf8(row.bytes), row.valid);
    std::vector<char32_t> decoded;
    for (size_t i = 0; i < row.bytes.size();) decoded.push_back(utf8_next(row.bytes, i));
    EXPECT_EQ(decoded, row.decoded);
  }
}

TEST(Unicode, EncodeRoundTrips) {
  for (char32_t c : {U'a', char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF}, char32_t{0x800},
                     char32_t{0xFFFF}, char32_t{0x10000}, char32_t{0x10FFFF}}) {
    std::string s;
    utf8_append(s, c);
    size_t i = 0;
    EXPECT_EQ(utf8_next(s, i), c);
    EXPECT_EQ(i, s.size());
    EXPECT_EQ(utf8_count(s), 1u);
  }
}

TEST(Unicode, Classes) {
  for (char32_t c : {U'a', U'Z', U'0', U'9', U'é', U'中', U'٣', U'½', U'Ⅻ', U'ß'}) {
    EXPECT_TRUE(is_alphanumeric(c)) << static_cast<uint32_t>(c);
  }
  for (char32_t c : {U' ', U',', U'_', U'-', U'€', U'“', char32_t{0x1F600}}) {
    EXPECT_FALSE(is_alphanumeric(c)) << static_cast<uint32_t>(c);
  }
  for (char32_t c : {0x09, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029,
                     0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(is_white_space(c)) << static_cast<uint32_t>(c);
  }
  for (char32_t c : {0x08, 0x0E, 0x200B, 0x180E, 0xFEFF, 0x120}) {
    EXPECT_FALSE(is_white_space(c)) << static_cast<uint32_t>(c);
  }
}

TEST(Unicode, TrimWhiteSpace) {
  EXPECT_EQ(trim_white_space("  a b\t\n"), "a b");
  EXPECT_EQ(trim_white_space("\xE3\x80\x80x\xC2\xA0"), "x");
  EXPECT_EQ(trim_white_space(" \t "), "");
  EXPECT_EQ(trim_white_space("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

}  // namespace
}  // namespace zelkor
