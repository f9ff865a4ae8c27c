// read_corpus_lines: line endings, dropped blank lines, character counts, lines and characters
// split across reads, and the error texts.
#include <gtest/gtest.h>

#include "core/corpus_file.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using testing::TempDir;

TEST(CorpusFile, ReadsLines) {
  struct Row { std::string content; std::vector<std::string> lines; uint64_t total_chars; };
  std::string long_line = "x";  // 40001 bytes: several reads, each ending inside an é
  for (int k = 0; k < 20000; ++k) long_line += "\u00e9";
  const std::vector<Row> rows = {
      // One CR before LF is dropped; other CRs and a last line without LF are kept as they are.
      {"a\r\r\nb\r\n\r\n\rc\r", {"a\r", "b", "\rc\r"}, 6},
      // White_Space only: space, tab, U+3000, U+0085, U+00A0, U+2028; zero-width space is not.
      {"\n \n\t\r\n\u3000\n\u0085\n\u00a0\u2028\n  x y \n\u200b", {"  x y ", "\u200b"}, 7},
      {long_line + "\nz\n", {long_line, "z"}, 20002},
  };
  for (const auto& row : rows) {
    TempDir dir;
    auto got = read_corpus_lines(dir.write("corpus.txt", row.content));
    ASSERT_TRUE(got) << got.error().render();
    EXPECT_EQ(std::pair(got->lines, got->total_chars), std::pair(row.lines, row.total_chars));
  }
}

TEST(CorpusFile, Errors) {
  TempDir dir;
  const std::string invalid = "stream did not contain valid UTF-8";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {dir.write("middle.txt", "a\nb\n\xED\xA0\x80\nc\n"), invalid},  // a surrogate
      {dir.write("tail.txt", std::string(10000, 'a') + "\xC0\xAF"), invalid},  // overlong, no LF
      {dir.path("missing.txt"), "No such file or directory (os error 2)"},
      {dir.write("file.txt", "") + "/x", "Not a directory (os error 20)"},
      {dir.path(), "Is a directory (os error 21)"},  // opens, then fails to read
  };
  for (const auto& [path, message] : rows) {
    auto got = read_corpus_lines(path);
    ASSERT_FALSE(got) << path;
    EXPECT_EQ(got.error().render(), message) << path;
  }
}

}  // namespace
}  // namespace zelkor
