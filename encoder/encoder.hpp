// DpTokenizer: a trained vocabulary (read from vocab.json) as a trie of its admissible tokens,
// and the encoding of texts into the fewest tokens. Three environment switches, read once at
// construction, drop classes of tokens and select the word-start variant of the encoder.
// Immutable after construction; encode() may run on many threads at once.
// Tested by encoder_test.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "encoder/trie.hpp"

namespace zelkor {

class DpTokenizer {
 public:
  // Reads `vocab_file`; `unk_token` defaults to "<unk>". Errors: "open vocab failed: ...",
  // "parse vocab.json failed: ...", "unk_token \"...\" not found in vocab".
  static Result<DpTokenizer> create(const std::string& vocab_file,
                                    const std::optional<std::string>& unk_token);

  // The same from the vocabulary's (text, id) pairs, for callers that already hold them.
  static Result<DpTokenizer> from_entries(
      const std::vector<std::pair<std::string, uint32_t>>& vocab, const std::string& unk_token);

  // The fewest-token ids of the normalised `text` (valid UTF-8).
  std::vector<uint32_t> encode(std::string_view text) const;


 private:
  TokenTrie trie_;
  uint32_t unk_id_ = 0;
  bool cross_word_whole_only_ = false;
};

}  // namespace zelkor
