// read_corpus_lines: line endings, dropped blank lines, character counts, reads longer than the
// buffer, and the error texts.
#include <gtest/gtest.h>

#include "python/corpus_file.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using testing::TempDir;

TEST(CorpusFile, ReadsLines) {
  struct Row {
    std::string content;
    std::vector<std::string> lines;
    uint64_t total_chars;
  };
  std::string long_line;  // 40000 bytes, several reads
  for (int k = 0; k < 20000; ++k) long_line += "\u00e9";
  const std::string split_char = std::string(8191, 'a') + "\u00e9";  // é straddles a read
  const std::vector<Row> rows = {
      {"", {}, 0},
      {"a\r\nb\n", {"a", "b"}, 2},
      {"a\nb\r", {"a", "b\r"}, 3},
      {"a\r\r\n\r\n\r", {"a\r"}, 2},
      // White_Space only: space, tab, U+3000, U+0085, U+00A0, U+2028.
      {"\n \n\t\r\n\u3000\n\u0085\n\u00a0\u2028\n  x y \n", {"  x y "}, 6},
      {"\u200b\n", {"\u200b"}, 1},  // zero-width space is not White_Space
      {"h\u00e9llo w\u00f6rld", {"h\u00e9llo w\u00f6rld"}, 11},
      {long_line + "\n" + split_char + "\nz", {long_line, split_char, "z"}, 28193},
  };
  for (const auto& row : rows) {
    TempDir dir;
    auto got = read_corpus_lines(dir.write("corpus.txt", row.content));
    ASSERT_TRUE(got) << got.error().render();
    EXPECT_EQ(got->lines, row.lines) << row.content.substr(0, 40);
    EXPECT_EQ(got->total_chars, row.total_chars) << row.content.substr(0, 40);
  }
}

TEST(CorpusFile, Errors) {
  TempDir dir;
  const std::string invalid = "stream did not contain valid UTF-8";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {dir.write("late.txt", "a\nb\n\xFF\nc\n"), invalid},
      {dir.write("blank.txt", " \xFF\n"), invalid},  // checked even when the line is dropped
      {dir.write("tail.txt", "a\n\xC3"), invalid},
      {dir.write("surrogate.txt", "\xED\xA0\x80\n"), invalid},
      {dir.write("overlong.txt", "\xC0\xAF\n"), invalid},
      {dir.write("far.txt", std::string(10000, 'a') + "\xFF"), invalid},
      {dir.path("missing.txt"), "No such file or directory (os error 2)"},
      {dir.path(), "Is a directory (os error 21)"},
  };
  for (const auto& [path, message] : rows) {
    auto got = read_corpus_lines(path);
    ASSERT_FALSE(got) << path;
    EXPECT_EQ(got.error().render(), message) << path;
  }
}

}  // namespace
}  // namespace zelkor
