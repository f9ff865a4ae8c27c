// Interner: the vocabulary (text <-> id) with per-id character counts, character-class flags
// and end-of-word counts; the special tokens and the vocabulary size that counts them.
// Tested by interner_test.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/hash.hpp"

namespace zelkor {

inline constexpr uint8_t TOKEN_FLAG_ALNUM = 1;          // an alphanumeric character
inline constexpr uint8_t TOKEN_FLAG_OTHER = 2;          // a character neither alnum nor U+0120
inline constexpr uint8_t TOKEN_FLAG_HAS_END = 4;        // a U+0120
inline constexpr uint8_t TOKEN_FLAG_ENDS_WITH_END = 8;  // U+0120 as the last character

// In rank order; exported as ids 0 to 4, never added by training of its own accord.
inline constexpr std::array<std::string_view, 5> SPECIAL_TOKENS = {"<unk>", "<pad>", "<s>", "</s>",
                                                                   "<mask>"};

// Invariant: the four per-id tables have one element per id and token_to_id maps each text of
// id_to_token to its index. Only intern() and the rebuild_* functions write them.
struct Interner {
  StringMap<uint32_t> token_to_id;
  std::vector<std::string> id_to_token;
  std::vector<uint32_t> char_lens;   // scalar values per id
  std::vector<uint8_t> flags;        // TOKEN_FLAG_* bits per id
  std::vector<uint8_t> end_counts;   // U+0120 count per id, saturating at 255

  // The id of `text`, appending it as a new id when absent.
  uint32_t intern(std::string_view text);

  static uint8_t token_flags(std::string_view text);
  static uint8_t end_count(std::string_view text);

  // Recompute one per-id table from id_to_token (after a bulk fill of the two maps).
  void rebuild_char_lens();
  void rebuild_flags();
  void rebuild_end_counts();

  size_t size() const { return id_to_token.size(); }
};

// Number of ids plus the special tokens not yet interned.
uint64_t vocab_size_with_specials(const Interner& interner);

}  // namespace zelkor
