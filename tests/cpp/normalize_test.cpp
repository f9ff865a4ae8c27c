// Normalisation: words split on White_Space, each followed by U+0120; the element, text and
// scalar forms agreeing on any input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/normalize.hpp"
#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Checks that the three forms of `text` agree; returns the elements joined, "_" for U+0120.
std::string normalized(std::string_view text) {
  const std::vector<std::string> strings = encode_sentence_str(text);
  const std::vector<char32_t> chars = normalize_chars(text);
  EXPECT_EQ(strings.size(), chars.size());
  std::string joined, shown;
  for (size_t i = 0; i < std::min(strings.size(), chars.size()); ++i) {
    std::string encoded;
    utf8_append(encoded, chars[i]);
    EXPECT_EQ(strings[i], encoded) << "element " << i;
    joined += strings[i];
    shown += strings[i] == END_TOKEN ? "_" : strings[i];
  }
  EXPECT_EQ(normalized_text(text), joined);
  return shown;
}

TEST(Normalize, Table) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {" \t\n\xE3\x80\x80\xC2\xA0", ""},               // only White_Space
      {"  a\tb\n", "a_b_"},
      // U+00A0, U+2028, U+1680 and U+0085 separate words.
      {"a\xC2\xA0" "b\xE2\x80\xA8" "c\xE1\x9A\x80" "d\xC2\x85" "e", "a_b_c_d_e_"},
      {"a\xE2\x80\x8B" "b", "a\xE2\x80\x8B" "b_"},     // zero-width space does not separate
      {"x\xC4\xA0", "x__"},                            // a mark in the text is a character
      {"Hello, World!", "Hello,_World!_"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80_"},       // one astral character, one element
      {"a\xFF", "a\xEF\xBF\xBD_"},                     // a malformed byte becomes U+FFFD
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(normalized(text), expected) << text;
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
    normalized(text);
  }
}

}  // namespace
}  // namespace zelkor
