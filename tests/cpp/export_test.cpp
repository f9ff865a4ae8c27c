// The tokenizer directory writer (ids, writing over an old directory: symlinks, special files,
// modes, a failure) and the vocab.json reader. Write failures: test_train_file.py.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include <fmt/format.h>

#include "encoder/vocab_json.hpp"
#include "export/hf_export.hpp"
#include "export/templates.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using testing::TempDir;
using IdMap = std::map<std::string, uint32_t>;
using Tokens = std::vector<std::string>;

TEST(HfExport, WritesIdsOverAnOldDirectory) {
  TempDir dir;
  dir.write("vocab.json", std::string(10000, 'x'));  // longer than the new one: truncated
  dir.write("keep.txt", "mine");                      // left alone
  const std::string escaped = "q\"\\\b\f\n\r\t\x01\x1f\x7f/";
  const Tokens tokens = {"\u0120a", "z", "\u00e9", "zz", "<a", "", "<unk>", "</s>", "z", escaped};
  ASSERT_TRUE(hf_export::export_from_trained(tokens, dir.path()));
  // The specials in a fixed order, then the rest once each in byte order: a proper prefix first,
  // é (C3 A9) and U+0120 (C4 A0) after z. The files' bytes are checked in test_train_file.py.
  auto vocab = parse_vocab_json(TempDir::read(dir.path("vocab.json")));
  ASSERT_TRUE(vocab) << vocab.error().render();
  EXPECT_EQ(IdMap(vocab->begin(), vocab->end()),
            (IdMap{{"<unk>", 0}, {"<pad>", 1}, {"<s>", 2}, {"</s>", 3}, {"<mask>", 4}, {"", 5},
                   {"<a", 6}, {escaped, 7}, {"z", 8}, {"zz", 9}, {"\u00e9", 10}, {"\u0120a", 11}}));
  EXPECT_EQ(TempDir::read(dir.path("keep.txt")), "mine");
}

// Every entry of `dir`: a regular file as its mode and bytes, anything else by its kind.
std::map<std::string, std::string> listing(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    const std::string kind = S_ISLNK(st.st_mode) ? "symlink" : S_ISDIR(st.st_mode) ? "directory" : "other";
    out[entry.path().filename()] =
        S_ISREG(st.st_mode) ? fmt::format("{:o} {}", st.st_mode & 07777, TempDir::read(entry.path())) : kind;
  }
  return out;
}

TEST(HfExport, ReplacesSymlinksAndSpecialFilesAndKeepsModes) {
  TempDir dir, outside;
  outside.write("victim", "mine");
  std::filesystem::create_symlink(outside.path("victim"), dir.path("README.md"));
  std::filesystem::create_symlink(outside.path("nowhere"), dir.path("vocab.json"));
  ASSERT_EQ(::mkfifo(dir.path("special_tokens_map.json").c_str(), 0600), 0);  // no reader: opening it would wait
  dir.write("tokenizer_config.json", "old");
  ::chmod(dir.path("tokenizer_config.json").c_str(), 0604);
  const mode_t umask = ::umask(027);
  auto ids = hf_export::export_from_trained(Tokens{"a"}, dir.path());
  ::umask(umask);
  ASSERT_TRUE(ids) << ids.error().render();
  // No temporary file is left; a file that was there keeps its mode, the others get 0666 less the
  // umask; nothing outside was written.
  std::map<std::string, std::string> files = listing(dir.path());
  for (auto& [name, file] : files) file = file.substr(0, file.find(' '));
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"README.md", "640"},
                                                       {"special_tokens_map.json", "640"},
                                                       {"tokenization_zelkor.py", "640"},
                                                       {"tokenizer_config.json", "604"},
                                                       {"vocab.json", "640"}}));
  EXPECT_EQ(TempDir::read(dir.path("README.md")), templates::README_TEXT);
  EXPECT_EQ(TempDir::read(outside.path("victim")), "mine");
  EXPECT_FALSE(std::filesystem::exists(outside.path("nowhere")));
}

TEST(HfExport, DirectoryAtAFileNameFailsBeforeAnythingIsWritten) {
  TempDir dir;
  dir.write("vocab.json", "old");
  std::filesystem::create_directory(dir.path("special_tokens_map.json"));
  const auto before = listing(dir.path());
  auto ids = hf_export::export_from_trained(Tokens{"a"}, dir.path());
  ASSERT_FALSE(ids);
  EXPECT_EQ(ids.error().render(), "Is a directory (os error 21)");
  EXPECT_EQ(listing(dir.path()), before);
}

TEST(VocabJson, Parses) {
  const std::vector<std::pair<std::string, IdMap>> rows = {
      {" \r\n{ \t}\n ", {}},
      {"{\"a\": 1, \"\u0120a\u3000\": 2, \"a\": 3}", {{"a", 3}, {"\u0120a\u3000", 2}}},
      {R"({"\"\\\/\b\f\n\r\t\u00E9\ud83d\ude00\u0120x": 4294967295, "": 0})",
       {{"\"\\/\b\f\n\r\t\u00e9\U0001F600\u0120x", UINT32_MAX}, {"", 0}}},
  };
  for (const auto& [text, expected] : rows) {
    auto entries = parse_vocab_json(text);
    ASSERT_TRUE(entries) << text << ": " << entries.error().render();
    EXPECT_EQ(IdMap(entries->begin(), entries->end()), expected) << text;
  }
}

TEST(VocabJson, RejectsWithLineAndColumn) {
  // Columns count characters from 1.
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"{\n  \"\u00e9\": -1\n}", "2 column 8"}, {R"({"a": 1.5})", "1 column 8"},
      {R"({"a": 4294967296})", "1 column 17"}, {"{\"a\": 1}\n x", "2 column 2"},
      {R"({"a": 1,})", "1 column 9"}, {"", "1 column 1"}, {R"({"a": "1"})", "1 column 7"},
      {R"({"a": 01})", "1 column 9"}, {R"({"a" 1})", "1 column 6"}, {"{\"\t\": 1}", "1 column 3"},
      {R"({"\ud800": 1})", "1 column 9"}, {R"({"\udc00": 1})", "1 column 9"},
      {R"({"\ud800\u0041": 1})", "1 column 15"},
      {"{\"a\": 1,\n\"\u00e9\xFF\": 2}", "2 column 3"},
  };
  for (const auto& [text, where] : rows) {
    auto entries = parse_vocab_json(text);
    ASSERT_FALSE(entries) << text;
    EXPECT_NE(entries.error().render().find(" line " + where), std::string::npos)
        << text << ": " << entries.error().render();
  }
}

}  // namespace
}  // namespace zelkor
