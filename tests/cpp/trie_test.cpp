// TokenTrie: both encoder variants against a brute-force splitter on random vocabularies. The
// empty token is exercised through DpTokenizer in test_encoder.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "core/unicode.hpp"
#include "encoder/trie.hpp"

namespace zelkor {
namespace {

constexpr uint32_t UNK = 99;
using Ids = std::vector<uint32_t>;

std::string utf8_of(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) utf8_append(out, c);
  return out;
}

// Deliberately naive: tries every split of s[i..] (each admissible token starting at i, or one
// unknown character where none starts) and keeps the best as (length, id) pieces: the fewest
// pieces, then the longest first piece, then the longest second, and so on.
using Split = std::vector<std::pair<size_t, uint32_t>>;
Split best_split(const std::u32string& s, size_t i, const std::vector<std::u32string>& vocab,
                 uint32_t first_id, const absl::flat_hash_set<uint32_t>* flags) {
  if (i == s.size()) return {};
  std::optional<Split> best;
  auto consider = [&](size_t length, uint32_t id) {
    Split split = best_split(s, i + length, vocab, first_id, flags);
    split.insert(split.begin(), {length, id});
    const bool better = !best || split.size() < best->size() ||
                        (split.size() == best->size() && split > *best);
    if (better) best = split;
  };
  const bool word_start = i == 0 || s[i - 1] == END_CHAR;
  for (uint32_t k = 0; k < vocab.size(); ++k) {
    if (s.compare(i, vocab[k].size(), vocab[k]) != 0) continue;
    if (flags && !word_start && flags->contains(first_id + k)) continue;
    consider(vocab[k].size(), first_id + k);
  }
  if (!best) consider(1, UNK);
  return *best;
}

TEST(TokenTrie, MatchesBruteForceOnRandomVocabularies) {
  const std::u32string alphabet = U"abcd\u0120";
  const std::u32string text_alphabet = alphabet + U"x";  // x is never in the vocabulary
  for (uint32_t seed = 0; seed < 1200; ++seed) {
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
    // Token ids follow the positions in `vocab`, from 0 or up to the largest id.
    const uint32_t first_id = seed % 4 < 2 ? 0 : static_cast<uint32_t>(UINT32_MAX - vocab.size() + 1);
    absl::flat_hash_set<uint32_t> flags;
    for (uint32_t k = 0; k < vocab.size(); ++k) {
      if (pick(2) == 1) flags.insert(first_id + k);
    }
    TokenTrie trie;
    for (uint32_t k = 0; k < vocab.size(); ++k) trie.insert(utf8_of(vocab[k]), first_id + k);
    trie.freeze(flags);
    std::u32string s;
    for (size_t len = pick(11); s.size() < len;) s += text_alphabet[pick(text_alphabet.size())];
    auto brute_force = [&](const absl::flat_hash_set<uint32_t>* required) {
      Ids ids;
      for (const auto& [length, id] : best_split(s, 0, vocab, first_id, required)) ids.push_back(id);
      return ids;
    };
    SCOPED_TRACE("seed " + std::to_string(seed) + " text '" + utf8_of(s) + "'");
    EXPECT_EQ(trie.dp_min_ids_allow_unk(s, UNK), brute_force(nullptr));
    EXPECT_EQ(trie.dp_min_ids_allow_unk_require_word_start(s, UNK, END_CHAR),
              brute_force(&flags));
  }
}

}  // namespace
}  // namespace zelkor
