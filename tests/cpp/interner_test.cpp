// Interner: ids, the per-id tables (characters, flags, end marks) and the vocabulary size
// counting specials.
#include <gtest/gtest.h>

#include <tuple>

#include "core/interner.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
namespace {

using testing::with_ends;

// Each text is interned twice: the same id, no new entry. The tables rebuilt from the texts alone
// equal those of intern().
TEST(Interner, TablesPerText) {
  const struct {
    std::string text;
    uint8_t flags;
    uint32_t chars;
    uint8_t ends;
  } rows[] = {
      {with_ends("_"), 12, 1, 1},
      {with_ends("a_"), 13, 2, 1},
      {with_ends("_a"), 5, 2, 1},
      {",", 2, 1, 0},
      {"a,", 3, 2, 0},
      {"", 0, 0, 0},
      {"\xE4\xB8\xAD\xE6\x96\x87", 1, 2, 0},        // two CJK letters
      {"\xD9\xA3", 1, 1, 0},                        // Arabic-Indic digit three
      {"\xC2\xBD", 1, 1, 0},                        // vulgar fraction one half (No)
      {"\xE2\x82\xAC" + with_ends("_"), 14, 2, 1},  // euro sign, then the mark
      {"\xF0\x9F\x98\x80", 2, 1, 0},                // emoji outside the BMP
      {"\t", 2, 1, 0},
      {with_ends(std::string(300, '_')), 12, 300, 255},  // the end count saturates
  };
  Interner in;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const uint32_t id = in.intern(row.text);
    EXPECT_EQ(in.intern(row.text), id);
    EXPECT_EQ(in.size(), id + 1u);
    EXPECT_EQ(in.flags[id], row.flags);
    EXPECT_EQ(in.char_lens[id], row.chars);
    EXPECT_EQ(in.end_counts[id], row.ends);
  }
  Interner rebuilt;
  rebuilt.id_to_token = in.id_to_token;
  rebuilt.rebuild_char_lens(), rebuilt.rebuild_flags(), rebuilt.rebuild_end_counts();
  EXPECT_EQ(std::tie(rebuilt.char_lens, rebuilt.flags, rebuilt.end_counts),
            std::tie(in.char_lens, in.flags, in.end_counts));
}

TEST(Interner, VocabSizeCountsAbsentSpecials) {
  Interner in;
  EXPECT_EQ(vocab_size_with_specials(in), 5u);
  for (const char* text : {"<pad>", "a"}) in.intern(text);
  EXPECT_EQ(vocab_size_with_specials(in), 6u);
  for (auto special : SPECIAL_TOKENS) in.intern(special);
  EXPECT_EQ(vocab_size_with_specials(in), 6u);
}

}  // namespace
}  // namespace zelkor
