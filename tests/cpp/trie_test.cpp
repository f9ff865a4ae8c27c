// TokenTrie: the fewest-token split with its tie and unknown rules, the word-start variant, and
// agreement with a brute-force splitter on random vocabularies.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/unicode.hpp"
#include "python/trie.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor {
namespace {

constexpr uint32_t UNK = 99;
using Ids = std::vector<uint32_t>;

std::u32string chars_of(std::string_view utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) out.push_back(utf8_next(utf8, i));
  return out;
}

std::string utf8_of(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) utf8_append(out, c);
  return out;
}

// Token ids are positions in `vocab`.
TokenTrie build(const std::vector<std::u32string>& vocab) {
  TokenTrie trie;
  for (uint32_t id = 0; id < vocab.size(); ++id) trie.insert(utf8_of(vocab[id]), id);
  trie.freeze();
  return trie;
}

TEST(TokenTrie, Splits) {
  struct Row {
    std::vector<std::string> vocab;  // "_" stands for U+0120 here and in `text`
    std::vector<uint32_t> flagged;   // ascending ids allowed only at a word start
    bool word_start;                 // run the word-start variant
    std::string text;
    Ids expected;
  };
  const std::vector<Row> rows = {
      {{"a", "b", "ab", "_"}, {}, false, "", {}},
      {{"a", "b", "ab", "_"}, {2}, true, "", {}},
      {{"a", "b", "ab", "_"}, {}, false, "ab_", {2, 3}},
      // A repeated text keeps the last id; the empty text marks only the root.
      {{"", "ab", "a", "ab"}, {}, false, "abxa", {3, UNK, 2}},
      {{"u", "v", "w", "uv", "vw", "_"}, {}, false, "uvw_", {3, 2, 5}},
      {{"a", "_"}, {}, false, "axy_a", {0, UNK, UNK, 1, 0}},
      // The unknown fallback never competes with a token that starts at the same place.
      {{"ab", "bcd"}, {}, false, "abcd", {0, UNK, UNK}},
      {{"a", "b", "ab"}, {2}, true, "ab", {2}},
      {{"a", "b", "ab"}, {2}, true, "xab", {UNK, 0, 1}},
      {{"a", "b", "ab"}, {2}, true, "_ab", {UNK, 2}},
      {{"a", "b", "ab"}, {2}, false, "xab", {UNK, 2}},
      {{"ab", "b"}, {0}, true, "xab", {UNK, UNK, 1}},
      // A flagged token is skipped but the walk goes on; id 2 lies beyond the flag vector.
      {{"a", "ab", "abc"}, {1}, true, "xabc", {UNK, 2}},
  };
  for (const auto& row : rows) {
    std::vector<std::u32string> vocab;
    for (const auto& t : row.vocab) vocab.push_back(chars_of(testing::with_ends(t)));
    const TokenTrie trie = build(vocab);
    std::vector<bool> flags(row.flagged.empty() ? 0 : row.flagged.back() + 1);
    for (uint32_t id : row.flagged) flags[id] = true;
    const std::u32string text = chars_of(testing::with_ends(row.text));
    const Ids got = row.word_start
                        ? trie.dp_min_ids_allow_unk_require_word_start(text, UNK, flags, END_CHAR)
                        : trie.dp_min_ids_allow_unk(text, UNK);
    EXPECT_EQ(got, row.expected) << "text '" << row.text << "' word_start " << row.word_start;
  }
}

// Deliberately naive: tries every split of s[i..] (any admissible token starting at i, or one
// unknown character where none starts) and keeps the best as (length, id) pieces: the fewest
// pieces, then the longest first piece, then the longest second, and so on.
using Split = std::vector<std::pair<size_t, uint32_t>>;
void search(const std::u32string& s, size_t i, const std::vector<std::u32string>& vocab,
            const std::vector<bool>* flags, Split& current, Split& best) {
  if (i == s.size()) {
    if (best.empty() || current.size() < best.size() ||
        (current.size() == best.size() && current > best)) {
      best = current;
    }
    return;
  }
  const bool word_start = i == 0 || s[i - 1] == END_CHAR;
  bool any = false;
  for (uint32_t id = 0; id < vocab.size(); ++id) {
    if (s.compare(i, vocab[id].size(), vocab[id]) != 0) continue;
    if (flags && !word_start && id < flags->size() && (*flags)[id]) continue;
    any = true;
    current.emplace_back(vocab[id].size(), id);
    search(s, i + vocab[id].size(), vocab, flags, current, best);
    current.pop_back();
  }
  if (!any) {
    current.emplace_back(1, UNK);
    search(s, i + 1, vocab, flags, current, best);
    current.pop_back();
  }
}

Ids brute_force(const std::u32string& s, const std::vector<std::u32string>& vocab,
                const std::vector<bool>* flags) {
  Split current, best;
  search(s, 0, vocab, flags, current, best);
  Ids ids;
  for (const auto& piece : best) ids.push_back(piece.second);
  return ids;
}

TEST(TokenTrie, MatchesBruteForceOnRandomVocabularies) {
  const std::u32string alphabet = U"abcd\u0120";
  const std::u32string text_alphabet = alphabet + U"x";  // x is never in the vocabulary
  for (uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    std::vector<std::u32string> vocab;
    for (size_t size = 1 + pick(10); vocab.size() < size;) {
      std::u32string token;
      for (size_t len = 1 + pick(4); token.size() < len;) token += alphabet[pick(alphabet.size())];
      if (std::find(vocab.begin(), vocab.end(), token) == vocab.end()) vocab.push_back(token);
    }
    // Every other vocabulary gives "a" and U+0120 many children that never match.
    for (char32_t c = U'A'; seed % 2 == 1 && c <= U'L'; ++c) {
      vocab.push_back({U'a', c});
      vocab.push_back({END_CHAR, c});
    }
    std::vector<bool> flags(pick(vocab.size() + 3));
    for (size_t k = 0; k < flags.size(); ++k) flags[k] = pick(2) == 1;
    const TokenTrie trie = build(vocab);
    for (int round = 0; round < 4; ++round) {
      std::u32string s;
      for (size_t len = pick(11); s.size() < len;) s += text_alphabet[pick(text_alphabet.size())];
      std::string context = "seed " + std::to_string(seed) + " text '" + utf8_of(s) + "' vocab";
      for (const auto& t : vocab) context += " '" + utf8_of(t) + "'";
      EXPECT_EQ(trie.dp_min_ids_allow_unk(s, UNK), brute_force(s, vocab, nullptr)) << context;
      EXPECT_EQ(trie.dp_min_ids_allow_unk_require_word_start(s, UNK, flags, END_CHAR),
                brute_force(s, vocab, &flags))
          << context;
    }
  }
}

}  // namespace
}  // namespace zelkor
