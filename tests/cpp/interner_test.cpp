// Interner: ids, the per-id tables, token flags and the vocabulary size counting specials.
#include <gtest/gtest.h>

#include "core/interner.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
namespace {

using testing::with_ends;

TEST(Interner, InternTwiceKeepsIdAndTables) {
  Interner in;
  EXPECT_EQ(in.intern("ab"), 0u);
  EXPECT_EQ(in.intern(""), 1u);
  Interner before = in;
  EXPECT_EQ(in.intern("ab"), 0u);
  EXPECT_EQ(in.intern(""), 1u);
  EXPECT_EQ(in.id_to_token, before.id_to_token);
  EXPECT_EQ(in.char_lens, before.char_lens);
  EXPECT_EQ(in.flags, before.flags);
  EXPECT_EQ(in.end_counts, before.end_counts);
  EXPECT_EQ(in.token_to_id.size(), 2u);
}

TEST(Interner, TablesPerText) {
  struct Row {
    std::string text;
    uint8_t flags;
    uint32_t chars;
    uint8_t ends;
  };
  const std::vector<Row> rows = {
      {with_ends("_"), 12, 1, 1},
      {with_ends("a_"), 13, 2, 1},
      {with_ends("_a"), 5, 2, 1},
      {",", 2, 1, 0},
      {"a,", 3, 2, 0},
      {"", 0, 0, 0},
      {"\xE4\xB8\xAD\xE6\x96\x87", 1, 2, 0},   // two CJK letters
      {"\xD9\xA3", 1, 1, 0},                   // Arabic-Indic digit three
      {"\xC2\xBD", 1, 1, 0},                   // vulgar fraction one half (No)
      {"\xE2\x82\xAC" + with_ends("_"), 14, 2, 1},  // euro sign, then the mark
      {"\xF0\x9F\x98\x80", 2, 1, 0},           // emoji outside the BMP
      {std::string(1, '\t'), 2, 1, 0},
  };
  Interner in;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    uint32_t id = in.intern(row.text);
    EXPECT_EQ(in.flags[id], row.flags);
    EXPECT_EQ(Interner::token_flags(row.text), row.flags);
    EXPECT_EQ(in.char_lens[id], row.chars);
    EXPECT_EQ(in.end_counts[id], row.ends);
  }
}

TEST(Interner, EndCountSaturates) {
  std::string many;
  for (int i = 0; i < 300; ++i) many += testing::G;
  Interner in;
  uint32_t id = in.intern(many);
  EXPECT_EQ(in.end_counts[id], 255);
  EXPECT_EQ(in.char_lens[id], 300u);
}

TEST(Interner, RebuildTablesMatchIntern) {
  Interner in;
  for (const char* text : {"a", "\xC4\xA0", "b,\xC4\xA0", "\xE4\xB8\xAD"}) in.intern(text);
  Interner rebuilt;
  rebuilt.token_to_id = in.token_to_id;
  rebuilt.id_to_token = in.id_to_token;
  rebuilt.rebuild_char_lens();
  rebuilt.rebuild_flags();
  rebuilt.rebuild_end_counts();
  EXPECT_EQ(rebuilt.char_lens, in.char_lens);
  EXPECT_EQ(rebuilt.flags, in.flags);
  EXPECT_EQ(rebuilt.end_counts, in.end_counts);
}

TEST(Interner, VocabSizeCountsAbsentSpecials) {
  Interner in;
  EXPECT_EQ(vocab_size_with_specials(in), 5u);
  in.intern("<pad>");
  EXPECT_EQ(vocab_size_with_specials(in), 5u);
  in.intern("a");
  EXPECT_EQ(vocab_size_with_specials(in), 6u);
  for (auto special : SPECIAL_TOKENS) in.intern(special);
  EXPECT_EQ(vocab_size_with_specials(in), 6u);
}

}  // namespace
}  // namespace zelkor
