// The tokenizer directory writer (ids, exact file bytes, re-export, failures), the pretty JSON
// writer, and the vocab.json reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "python/hf_export.hpp"
#include "python/json_writer.hpp"
#include "python/templates.hpp"
#include "python/vocab_json.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using testing::TempDir;
using IdMap = std::map<std::string, uint32_t>;
const char* const FILES[] = {"vocab.json", "tokenizer_config.json", "special_tokens_map.json",
                             "tokenization_zelkor.py", "README.md"};

Result<IdMap> export_tokens(const std::vector<std::string>& tokens, const std::string& out_dir) {
  auto ids = hf_export::export_from_trained(tokens, out_dir);
  if (!ids) return std::unexpected(ids.error());
  return IdMap(ids->begin(), ids->end());
}

TEST(HfExport, WritesTheDirectory) {
  TempDir dir;
  const std::string out = dir.path("a/b/out");  // missing parents are created
  auto ids = export_tokens({"b", "a", "ab", "a", "<s>"}, out);
  ASSERT_TRUE(ids) << ids.error().render();
  EXPECT_EQ(*ids, (IdMap{{"<unk>", 0}, {"<pad>", 1}, {"<s>", 2}, {"</s>", 3}, {"<mask>", 4},
                         {"a", 5}, {"ab", 6}, {"b", 7}}));
  EXPECT_EQ(TempDir::read(out + "/vocab.json"), R"({
  "</s>": 3,
  "<mask>": 4,
  "<pad>": 1,
  "<s>": 2,
  "<unk>": 0,
  "a": 5,
  "ab": 6,
  "b": 7
}
)");
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
}

TEST(HfExport, ReexportIsIdenticalAndLeavesOtherFiles) {
  TempDir dir;
  const char* specials[] = {"<unk>", "<pad>", "<s>", "</s>", "<mask>"};
  IdMap expected;
  for (const char* t : specials) expected.emplace(t, expected.size());
  EXPECT_EQ(export_tokens({}, dir.path("empty")), expected);
  // Byte order after the specials: a proper prefix first; é (C3 A9) and U+0120 (C4 A0) after z.
  const std::vector<std::string> tokens = {"\u0120a", "z", "\u00e9", "zz", "<a", "",
                                           "<unk>", "</s>", "x\ty", "q\""};
  for (const char* t : {"", "<a", "q\"", "x\ty", "z", "zz", "\u00e9", "\u0120a"}) {
    expected.emplace(t, expected.size());
  }
  EXPECT_EQ(export_tokens(tokens, dir.path()), expected);
  std::vector<std::string> first;
  for (const char* f : FILES) first.push_back(TempDir::read(dir.path(f)));
  dir.write("keep.txt", "mine");
  dir.write("vocab.json", std::string(10000, 'x'));  // must be truncated, not overlaid
  ASSERT_TRUE(export_tokens(tokens, dir.path()));
  for (size_t k = 0; k < std::size(FILES); ++k) {
    EXPECT_EQ(TempDir::read(dir.path(FILES[k])), first[k]) << FILES[k];
  }
  EXPECT_EQ(TempDir::read(dir.path("keep.txt")), "mine");
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
  const std::vector<std::pair<Json, std::string>> rows = {
      {Json{std::string("\"\\\b\f\n\r\t\x01\x1f\x7f/\u00e9\u0120")},
       "\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f/\u00e9\u0120\""},
      {Json{Json::Object{}}, "{}"},
      {Json{Json::Array{}}, "[]"},
      {Json{Json::Object{{"k", Json{Json::Array{Json{nullptr}, Json{Json::Object{}}}}},
                         {"\u00e9", Json{uint64_t{1}}}, {"K", Json{Json::Array{}}}}},
       "{\n  \"K\": [],\n  \"k\": [\n    null,\n    {}\n  ],\n  \"\u00e9\": 1\n}"},
  };
  for (const auto& [json, expected] : rows) {
    std::string out;
    append_json_pretty(out, json);
    EXPECT_EQ(out, expected);
  }
}

TEST(VocabJson, Parses) {
  const std::vector<std::pair<std::string, IdMap>> rows = {
      {"{}", {}},
      {" \r\n{ \t}\n ", {}},
      {R"({"a": 1, "b": 2, "a": 3})", {{"a", 3}, {"b", 2}}},
      {R"({"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0120x": 4294967295, "": 0})",
       {{"\"\\/\b\f\n\r\t\u00e9\U0001F600\u0120x", UINT32_MAX}, {"", 0}}},
      {"{\"\u0120a\u3000\": 7}", {{"\u0120a\u3000", 7}}},
  };
  for (const auto& [text, expected] : rows) {
    auto entries = parse_vocab_json(text);
    ASSERT_TRUE(entries) << text << ": " << entries.error().render();
    EXPECT_EQ(IdMap(entries->begin(), entries->end()), expected) << text;
  }
}

TEST(VocabJson, RejectsWithLineAndColumn) {
  const std::vector<std::pair<std::string, int>> rows = {
      {"{\n  \"a\": -1\n}", 2}, {R"({"a": 1.5})", 1},      {R"({"a": 1e3})", 1},
      {R"({"a": 4294967296})", 1}, {"{\"a\": 1}\n x", 2},  {R"({"a": 1,})", 1},
      {"[]", 1},                   {"", 1},                {R"({"a": "1"})", 1},
      {R"({"a": 01})", 1},         {R"({"a" 1})", 1},      {R"({"a": 1)", 1},
      {R"({"\ud800": 1})", 1},     {R"({"\udc00\ud800": 1})", 1},
      {"{\"a\": 1,\n\"\xFF\": 2}", 2},
  };
  for (const auto& [text, line] : rows) {
    auto entries = parse_vocab_json(text);
    ASSERT_FALSE(entries) << text;
    EXPECT_NE(entries.error().render().find(" line " + std::to_string(line) + " column "),
              std::string::npos)
        << text << ": " << entries.error().render();
  }
}

}  // namespace
}  // namespace zelkor
