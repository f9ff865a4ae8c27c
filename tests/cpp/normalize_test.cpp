// Normalisation: words split on White_Space, each followed by U+0120, both output forms agreeing.
#include <gtest/gtest.h>

#include <random>

#include "core/trainer.hpp"
#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Renders the string form with "_" for U+0120 so the table below stays readable.
std::string render(const std::vector<std::string>& seq) {
  std::string out;
  for (const auto& s : seq) out += s == END_TOKEN ? "_" : s;
  return out;
}

void expect_forms_agree(std::string_view text) {
  auto strings = Zelkor::encode_sentence_str(text);
  auto chars = Zelkor::normalize_chars(text);
  ASSERT_EQ(strings.size(), chars.size());
  for (size_t i = 0; i < chars.size(); ++i) {
    std::string encoded;
    utf8_append(encoded, chars[i]);
    EXPECT_EQ(strings[i], encoded) << "element " << i;
  }
}

TEST(Normalize, Table) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {" \t\n", ""},
      {"\xE3\x80\x80\xC2\xA0", ""},                   // U+3000, U+00A0 only
      {"xy z", "xy_z_"},
      {"  a\tb\n", "a_b_"},
      {"a\xC2\xA0" "b", "a_b_"},                       // no-break space separates
      {"a\xE2\x80\x8B" "b", "a\xE2\x80\x8B" "b_"},     // zero-width space does not
      {"x\xC4\xA0", "x__"},                            // a mark in the text is a character
      {"a\xE2\x80\xA8" "b\xE1\x9A\x80" "c\xC2\x85" "d", "a_b_c_d_"},  // U+2028, U+1680, U+0085
      {"Hello, World!", "Hello,_World!_"},
  };
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(render(Zelkor::encode_sentence_str(text)), expected);
    expect_forms_agree(text);
  }
}

TEST(Normalize, AstralCharacterIsOneElement) {
  auto seq = Zelkor::encode_sentence_str("\xF0\x9F\x98\x80");
  ASSERT_EQ(seq.size(), 2u);
  EXPECT_EQ(seq[0].size(), 4u);
  EXPECT_EQ(Zelkor::normalize_chars("\xF0\x9F\x98\x80")[0], U'\U0001F600');
}

// Random texts over a small alphabet of spaces, marks, ASCII, CJK and astral characters.
TEST(Normalize, FormsAgreeOnRandomTexts) {
  const std::vector<std::string> alphabet = {" ", "\t", "\xC2\xA0", "\xE3\x80\x80", "a", "Z", ",",
                                             "\xC4\xA0", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                             "\xE2\x80\x8B", "\xFF"};
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int i = rng() % 12; i > 0; --i) text += alphabet[rng() % alphabet.size()];
    SCOPED_TRACE(text);
    expect_forms_agree(text);
  }
}

}  // namespace
}  // namespace zelkor
