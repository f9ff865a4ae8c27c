// Debug renderings used by log lines and error texts: the shortest float form and quoting (lists
// and options are checked through the log lines that show them).
#include <gtest/gtest.h>

#include "core/debug_fmt.hpp"

namespace zelkor {
namespace {

TEST(DebugFmt, F32ShortestRoundTrip) {
  const std::pair<float, std::string> rows[] = {
      {1.0f, "1.0"}, {0.25f, "0.25"}, {12.5f, "12.5"}, {0.0f, "0.0"}, {1e-5f, "1e-5"},
      {1.5e-7f, "1.5e-7"}, {0.0001f, "0.0001"}, {0.1f, "0.1"}, {123456.0f, "123456.0"},
      {1e16f, "1e16"}, {3.1415927f, "3.1415927"}, {0.001234f, "0.001234"}};
  for (const auto& [value, expected] : rows) EXPECT_EQ(debug_f32(value), expected);
}

TEST(DebugFmt, Quoted) {
  EXPECT_EQ(debug_quoted("0.5 0.4 0.3 1/200 42"), "\"0.5 0.4 0.3 1/200 42\"");
  EXPECT_EQ(debug_quoted("a\"b\\c\n\r\t"), "\"a\\\"b\\\\c\\n\\r\\t\"");
  EXPECT_EQ(debug_quoted(std::string("\x01\x7F", 2)), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(debug_quoted("\xC4\xA0\xE4\xB8\xAD"), "\"\xC4\xA0\xE4\xB8\xAD\"");
  // Only the unknown-token text escapes every non-printable character (U+200B, U+00A0 here).
  EXPECT_EQ(debug_quoted("\xE2\x80\x8B \xC2\xA0"), "\"\xE2\x80\x8B \xC2\xA0\"");
  EXPECT_EQ(debug_quoted("\xE2\x80\x8B \xC2\xA0\x01\"", Escape::NonPrintable), "\"\\u{200b} \\u{a0}\\u{1}\\\"\"");
}

}  // namespace
}  // namespace zelkor
