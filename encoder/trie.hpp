// TokenTrie: a character trie of vocabulary tokens and the minimum-token encoder over it.
// Tested by trie_test.cpp (against a brute-force minimum split).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

namespace zelkor {

// Built by insert() calls, then freeze() turns it into flat, sorted child arrays. freeze() must
// be called after the last insert() and before any encode; afterwards the trie is read-only and
// any number of threads may encode with it at once.
class TokenTrie {
 public:
  TokenTrie();

  // Adds `text` (UTF-8) ending at a node whose token id becomes `id` (replacing an earlier one).
  // The empty text marks the root, which the encoder never consults.
  void insert(std::string_view text, uint32_t id);

  // Builds the read-only layout; called once after the last insert. The tokens whose id is in
  // `word_start_ids` may only start a word in dp_min_ids_allow_unk_require_word_start.
  void freeze(const absl::flat_hash_set<uint32_t>& word_start_ids = {});

  // The fewest tokens covering `chars`; among those the split whose first token is longest,
  // recursively. A character at which no token starts becomes `unk_id`.
  std::vector<uint32_t> dp_min_ids_allow_unk(std::span<const char32_t> chars, uint32_t unk_id) const;

  // The same, but a token whose id was among freeze()'s `word_start_ids` may only start at
  // position 0 or right after `end_char`.
  std::vector<uint32_t> dp_min_ids_allow_unk_require_word_start(std::span<const char32_t> chars,
                                                                uint32_t unk_id,
                                                                char32_t end_char) const;

 private:
  static constexpr uint32_t NO_NODE = UINT32_MAX;
  // A node's token: its id in the low 32 bits and these flags above, so that every u32 is an id.
  static constexpr uint64_t HAS_TOKEN = uint64_t{1} << 32;
  static constexpr uint64_t WORD_START = uint64_t{1} << 33;

  template <bool kWordStart>
  std::vector<uint32_t> run(std::span<const char32_t> chars, uint32_t unk_id, char32_t end_char) const;
  // The child of `node` along `c`, or NO_NODE.
  uint32_t child(uint32_t node, char32_t c) const;

  std::vector<uint64_t> terms_;  // per node: the token ending here (0: none)
  // Construction form: per node, character -> child.
  std::vector<absl::flat_hash_map<char32_t, uint32_t>> building_;
  // Frozen form: node i's children are child_chars_/child_nodes_[first_[i] .. first_[i + 1]),
  // sorted by character; the root's ASCII children are also in a direct table.
  std::vector<uint32_t> first_;
  std::vector<char32_t> child_chars_;
  std::vector<uint32_t> child_nodes_;
  uint32_t root_ascii_[128];
  bool frozen_ = false;
};

}  // namespace zelkor
