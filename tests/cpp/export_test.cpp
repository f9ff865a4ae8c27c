// The tokenizer directory writer (ids, exact file bytes, re-export, failures), the pretty JSON
// writer, and the vocab.json reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "export/hf_export.hpp"
#include "export/json_writer.hpp"
#include "export/templates.hpp"
#include "encoder/vocab_json.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using testing::TempDir;
using IdMap = std::map<std::string, uint32_t>;

Result<IdMap> export_tokens(const std::vector<std::string>& tokens, const std::string& out_dir) {
  auto ids = hf_export::export_from_trained(tokens, out_dir);
  if (!ids) return std::unexpected(ids.error());
  return IdMap(ids->begin(), ids->end());
}

TEST(HfExport, WritesTheDirectoryAndReexportsIdentically) {
  TempDir dir;
  const std::string out = dir.path("a/b/out");  // missing parents are created
  const std::vector<std::string> tokens = {"\u0120a", "z", "\u00e9", "zz", "<a", "",
                                           "<unk>", "</s>", "x\ty", "q\"", "z"};
  auto ids = export_tokens(tokens, out);
  ASSERT_TRUE(ids) << ids.error().render();
  // The specials in a fixed order, then the rest once each in byte order: a proper prefix
  // first, é (C3 A9) and U+0120 (C4 A0) after z.
  const IdMap expected = {{"<unk>", 0}, {"<pad>", 1}, {"<s>", 2},  {"</s>", 3}, {"<mask>", 4},
                          {"", 5},      {"<a", 6},    {"q\"", 7}, {"x\ty", 8}, {"z", 9},
                          {"zz", 10},   {"\u00e9", 11}, {"\u0120a", 12}};
  EXPECT_EQ(*ids, expected);
  auto vocab = parse_vocab_json(TempDir::read(out + "/vocab.json"));
  ASSERT_TRUE(vocab) << vocab.error().render();
  EXPECT_EQ(IdMap(vocab->begin(), vocab->end()), expected);
  EXPECT_EQ(TempDir::read(out + "/tokenizer_config.json"), R"({
  "auto_map": {
    "AutoTokenizer": [
      "tokenization_zelkor.Zelkor",
      null
    ]
  },
  "bos_token": "<s>",
  "eos_token": "</s>",
  "mask_token": "<mask>",
  "model_max_length": 1000000000,
  "pad_token": "<pad>",
  "tokenizer_class": "Zelkor",
  "unk_token": "<unk>"
}
)");
  EXPECT_EQ(TempDir::read(out + "/special_tokens_map.json"), R"({
  "bos_token": "<s>",
  "eos_token": "</s>",
  "mask_token": "<mask>",
  "pad_token": "<pad>",
  "unk_token": "<unk>"
}
)");
  EXPECT_EQ(TempDir::read(out + "/tokenization_zelkor.py"), templates::COMPANION_MODULE_TEXT);
  EXPECT_EQ(TempDir::read(out + "/README.md"), templates::README_TEXT);
  // Re-export: the same bytes, a longer old vocab.json truncated, other files left alone.
  const char* files[] = {"vocab.json", "tokenizer_config.json", "special_tokens_map.json",
                         "tokenization_zelkor.py", "README.md"};
  std::vector<std::string> first;
  for (const char* f : files) first.push_back(TempDir::read(out + "/" + f));
  dir.write("a/b/out/keep.txt", "mine");
  dir.write("a/b/out/vocab.json", std::string(10000, 'x'));
  ASSERT_TRUE(export_tokens(tokens, out));
  for (size_t k = 0; k < std::size(files); ++k) {
    EXPECT_EQ(TempDir::read(out + "/" + files[k]), first[k]) << files[k];
  }
  EXPECT_EQ(TempDir::read(out + "/keep.txt"), "mine");
}

TEST(HfExport, FirstFailureEndsTheExport) {
  TempDir dir;
  std::filesystem::create_directory(dir.path("special_tokens_map.json"));
  auto ids = export_tokens({"a"}, dir.path());
  ASSERT_FALSE(ids);
  EXPECT_EQ(ids.error().render(), "Is a directory (os error 21)");
  EXPECT_TRUE(std::filesystem::exists(dir.path("tokenizer_config.json")));
  EXPECT_FALSE(std::filesystem::exists(dir.path("tokenization_zelkor.py")));
  EXPECT_FALSE(export_tokens({}, dir.write("file", "")));  // out_dir is a regular file
}

TEST(JsonWriter, PrettyLayoutAndEscapes) {
  const Json json{Json::Object{
      {"k", Json{Json::Array{Json{nullptr}, Json{Json::Object{{"x", Json{Json::Array{}}}}},
                             Json{Json::Object{}}}}},
      {"\u00e9", Json{std::string("\"\\\b\f\n\r\t\x01\x1f\x7f/\u00e9\u0120")}}}};
  std::string out;
  append_json_pretty(out, json);
  EXPECT_EQ(out, "{\n  \"k\": [\n    null,\n    {\n      \"x\": []\n    },\n    {}\n  ],\n"
                 "  \"\u00e9\": \"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f/\u00e9\u0120\"\n}");
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
      {R"({"a": 01})", "1 column 9"}, {R"({"a" 1})", "1 column 6"}, {R"({"a": 1)", "1 column 8"},
      {"{\"\t\": 1}", "1 column 3"}, {R"({"\ud800": 1})", "1 column 9"},
      {R"({"\udc00": 1})", "1 column 9"}, {R"({"\ud800\u0041": 1})", "1 column 15"},
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
