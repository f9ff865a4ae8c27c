// DpTokenizer: the three environment switches (which tokens stay, which encoder variant runs)
// and construction from a vocab.json file with its errors.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "encoder/encoder.hpp"
#include "tests/cpp/support/fixtures.hpp"
#include "tests/cpp/support/temp_dir.hpp"

namespace zelkor {
namespace {

using Ids = std::vector<uint32_t>;
constexpr std::array<const char*, 3> SWITCHES = {
    "ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY", "ZELKOR_FORBID_PUNCT_TOKENS"};

// Sets the switches; nullptr (the default) removes one.
void set_switches(const std::array<const char*, 3>& values = {}) {
  for (size_t k = 0; k < SWITCHES.size(); ++k) {
    values[k] ? setenv(SWITCHES[k], values[k], 1) : unsetenv(SWITCHES[k]);
  }
}

TEST(DpTokenizer, Switches) {
  // "_" stands for U+0120; ids are positions.
  const char* texts[] = {"<unk>", "a", "b", "_", "a_", "ab", "a_b_", "a_b", "_a_", "a-b", "-",
                         "<s>"};
  std::vector<std::pair<std::string, uint32_t>> vocab;
  for (const char* t : texts) vocab.emplace_back(testing::with_ends(t), vocab.size());
  const std::vector<std::string> probes = {"a b", "za b", "a ba", "b a", "a-b", "<s>", "b a b"};
  Ids plain[] = {{6}, {0, 6}, {7, 4}, {2, 8}, {9, 3}, {11, 3}, {2, 3, 6}};
  // Every token with U+0120 before its last character is dropped.
  Ids inner[] = {{4, 2, 3}, {0, 4, 2, 3}, {4, 2, 4}, {2, 3, 4}, {9, 3}, {11, 3}, {2, 3, 4, 2, 3}};
  // "a_b_" is kept but only at a word start; "a_b" and "_a_" are dropped.
  Ids cross[] = {{6}, {0, 4, 2, 3}, {4, 2, 4}, {2, 3, 4}, {9, 3}, {11, 3}, {2, 3, 6}};
  // "a-b", "<s>" and "<unk>" are dropped; "-" stays.
  Ids punct[] = {{6}, {0, 6}, {7, 4}, {2, 8}, {1, 10, 2, 3}, {0, 0, 0, 3}, {2, 3, 6}};
  struct Row { std::string name; std::array<const char*, 3> env; Ids* expected; };
  const std::vector<Row> rows = {
      {"none", {nullptr, nullptr, nullptr}, plain},
      {"end inner", {"0", nullptr, nullptr}, inner},
      {"cross word", {nullptr, "1", nullptr}, cross},
      {"punct (empty value)", {nullptr, nullptr, ""}, punct},
      {"end inner wins over cross word", {"1", "1", nullptr}, inner},
      {"non-UTF-8 end inner is absent", {"\xFF", "1", nullptr}, cross},
      {"non-UTF-8 punct is absent", {nullptr, nullptr, "\xC3("}, plain},
  };
  for (const auto& row : rows) {
    set_switches(row.env);
    auto tok = DpTokenizer::from_entries(vocab, "<unk>");
    ASSERT_TRUE(tok) << tok.error().render();
    unsetenv(SWITCHES[0]);  // read at construction only
    setenv(SWITCHES[2], "1", 1);
    for (size_t k = 0; k < probes.size(); ++k) {
      EXPECT_EQ(tok->encode(probes[k]), row.expected[k]) << row.name << ": " << probes[k];
    }
  }
  set_switches();
}

TEST(DpTokenizer, Create) {
  testing::TempDir dir;
  // Ids differ from positions, so the unknown id must come from the file.
  const std::string good = dir.write("vocab.json", R"({"a": 5, "<unk>": 2, "b": 0})");
  struct Row { std::string path; std::optional<std::string> unk; std::string error; bool prefix; };
  const std::vector<Row> rows = {
      {dir.path("no"), {}, "open vocab failed: No such file or directory (os error 2)", false},
      {dir.path(), std::nullopt, "parse vocab.json failed: Is a directory (os error 21)", false},
      {dir.write("bad.json", R"({"a": 1,})"), std::nullopt, "parse vocab.json failed: ", true},
      {dir.write("e.json", "{}"), std::nullopt, R"(unk_token "<unk>" not found in vocab)", false},
      {good, "x\"\t\\\n", R"(unk_token "x\"\t\\\n" not found in vocab)", false},
  };
  for (const auto& row : rows) {
    auto tok = DpTokenizer::create(row.path, row.unk);
    ASSERT_FALSE(tok) << row.path;
    const size_t compared = row.prefix ? row.error.size() : std::string::npos;
    EXPECT_EQ(tok.error().render().substr(0, compared), row.error);
  }
  set_switches();
  auto tok = DpTokenizer::create(good, "b");
  ASSERT_TRUE(tok) << tok.error().render();
  EXPECT_EQ(tok->encode("<unk>a z"), (Ids{2, 5, 0, 0, 0}));
}

}  // namespace
}  // namespace zelkor
