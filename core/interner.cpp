// The vocabulary interner.
#include "core/interner.hpp"

#include <algorithm>

#include "core/unicode.hpp"

namespace zelkor {

uint32_t Interner::intern(std::string_view text) {
  if (auto it = token_to_id.find(text); it != token_to_id.end()) return it->second;
  auto id = static_cast<uint32_t>(id_to_token.size());
  id_to_token.emplace_back(text);
  token_to_id.emplace(std::string(text), id);
  char_lens.push_back(static_cast<uint32_t>(utf8_count(text)));
  flags.push_back(token_flags(text));
  end_counts.push_back(end_count(text));
  return id;
}

uint8_t Interner::token_flags(std::string_view text) {
  uint8_t bits = 0;
  char32_t last = 0;
  size_t i = 0;
  while (i < text.size()) {
    char32_t c = utf8_next(text, i);
    if (c == END_CHAR) {
      bits |= TOKEN_FLAG_HAS_END;
    } else if (is_alphanumeric(c)) {
      bits |= TOKEN_FLAG_ALNUM;
    } else {
      bits |= TOKEN_FLAG_OTHER;
    }
    last = c;
  }
  if (last == END_CHAR) bits |= TOKEN_FLAG_ENDS_WITH_END;
  return bits;
}

uint8_t Interner::end_count(std::string_view text) {
  size_t count = 0;
  for (size_t pos = text.find(END_TOKEN); pos != std::string_view::npos;
       pos = text.find(END_TOKEN, pos + END_TOKEN.size())) {
    ++count;
  }
  return static_cast<uint8_t>(std::min<size_t>(count, 255));
}

void Interner::rebuild_char_lens() {
  std::vector<uint32_t> table;
  table.reserve(id_to_token.size());
  for (const auto& text : id_to_token) table.push_back(static_cast<uint32_t>(utf8_count(text)));
  char_lens = std::move(table);
}

void Interner::rebuild_flags() {
  std::vector<uint8_t> table;
  table.reserve(id_to_token.size());
  for (const auto& text : id_to_token) table.push_back(token_flags(text));
  flags = std::move(table);
}

void Interner::rebuild_end_counts() {
  std::vector<uint8_t> table;
  table.reserve(id_to_token.size());
  for (const auto& text : id_to_token) table.push_back(end_count(text));
  end_counts = std::move(table);
}

uint64_t vocab_size_with_specials(const Interner& interner) {
  uint64_t size = interner.id_to_token.size();
  for (auto special : SPECIAL_TOKENS) size += !interner.token_to_id.contains(special);
  return size;
}

}  // namespace zelkor
