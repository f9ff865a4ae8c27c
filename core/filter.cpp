// Candidate filters. The tests run from cheapest to dearest: sums and ORs over per-id tables,
// then (only with forbid_punct_tokens and some other-class character) the punctuation rule,
// which decodes the key text. That rule accepts a key through one of five single-word
// exceptions (each needing exactly one trailing end-of-word mark) or, when enabled, through the
// cross-word rule: every word of the key must have one of six shapes and at least two words
// must be complete.
#include "core/filter.hpp"

#include <algorithm>
#include <array>

#include "core/unicode.hpp"

namespace zelkor {
namespace {

constexpr size_t MAX_WORD_CHARS = 48;  // cross-word rule: longest word
constexpr size_t MAX_T_CHARS = 32;     // single-word exceptions: longest text

bool is_word_final_punct(char32_t c) {
  switch (c) {
    case '!': case '"': case '\'': case ')': case ',': case '.': case ':': case ';': case '?':
    case ']': case '}':
      return true;
    default:
      return false;
  }
}

// At most `max_len` characters, each alphanumeric or `sep`, with at least one `sep`; with
// `ends_alnum` the first and last characters are alphanumeric, otherwise at least one is.
bool joined_shape(std::span<const char32_t> w, size_t max_len, char32_t sep, bool ends_alnum) {
  if (w.empty() || w.size() > max_len) return false;
  bool has_sep = false, has_alnum = false;
  for (char32_t c : w) {
    if (c == sep) {
      has_sep = true;
    } else if (is_alphanumeric(c)) {
      has_alnum = true;
    } else {
      return false;
    }
  }
  if (!has_sep) return false;
  if (ends_alnum) return is_alphanumeric(w.front()) && is_alphanumeric(w.back());
  return has_alnum;
}

bool abbrev_shape(std::span<const char32_t> w) { return joined_shape(w, 24, '.', false); }
bool hyphen_shape(std::span<const char32_t> w) { return joined_shape(w, 32, '-', true); }
bool apostrophe_shape(std::span<const char32_t> w) { return joined_shape(w, 32, '\'', false); }

// An alphanumeric stem followed by one to three closing punctuation characters.
bool word_final_shape(std::span<const char32_t> w, size_t max_len) {
  if (w.empty() || w.size() > max_len || !is_word_final_punct(w.back())) return false;
  size_t run = 0;
  while (run < w.size() && is_word_final_punct(w[w.size() - 1 - run])) {
    if (++run > 3) return false;
  }
  auto stem = w.first(w.size() - run);
  return !stem.empty() && all_alphanumeric(stem);
}

bool has_word_shape(std::span<const char32_t> w) {
  if (all_alphanumeric(w)) return true;
  if (w.size() <= 6 && std::none_of(w.begin(), w.end(), [](char32_t c) { return is_alphanumeric(c); })) {
    return true;
  }
  return abbrev_shape(w) || hyphen_shape(w) || apostrophe_shape(w) ||
         word_final_shape(w, MAX_WORD_CHARS);
}

uint8_t key_flags(const NgramKey& key, const std::vector<uint8_t>& flags) {
  uint8_t bits = 0;
  for (uint32_t id : key) bits |= flags[id];
  return bits;
}

// Characters of the key text without its final U+0120, when there are at most MAX_T_CHARS.
struct TrailingText {
  std::array<char32_t, MAX_T_CHARS> chars{};
  size_t size = 0;
  bool too_long = false;
  std::span<const char32_t> view() const { return {chars.data(), size}; }
};

TrailingText text_before_end(const NgramKey& key, const std::vector<std::string>& id_to_token) {
  TrailingText t;
  for (size_t k = 0; k < key.size(); ++k) {
    std::string_view text = id_to_token[key[k]];
    if (k + 1 == key.size()) text.remove_suffix(END_TOKEN.size());
    size_t i = 0;
    while (i < text.size()) {
      char32_t c = utf8_next(text, i);
      if (t.size == MAX_T_CHARS) {
        t.too_long = true;
        return t;
      }
      t.chars[t.size++] = c;
    }
  }
  return t;
}

bool single_word_exception(const NgramKey& key, const TrainConfig& config, uint8_t flags_or,
                           const std::vector<uint8_t>& flags,
                           const std::vector<std::string>& id_to_token) {
  bool any = config.allow_space_punct_tokens || config.allow_abbrev_tokens ||
             config.allow_hyphen_tokens || config.allow_apostrophe_tokens ||
             config.allow_word_final_punct_tokens;
  if (!any || !ngram_has_single_trailing_end(key, flags, id_to_token)) return false;
  if (config.allow_space_punct_tokens && !(flags_or & TOKEN_FLAG_ALNUM)) return true;
  TrailingText t = text_before_end(key, id_to_token);
  if (t.too_long) return false;  // every remaining exception allows at most 32 characters
  auto chars = t.view();
  return (config.allow_abbrev_tokens && abbrev_shape(chars)) ||
         (config.allow_hyphen_tokens && hyphen_shape(chars)) ||
         (config.allow_apostrophe_tokens && apostrophe_shape(chars)) ||
         (config.allow_word_final_punct_tokens && word_final_shape(chars, MAX_T_CHARS));
}

// True when the cross-word rule rejects the key.
bool cross_word_rejects(const NgramKey& key, const std::vector<std::string>& id_to_token) {
  std::array<char32_t, MAX_WORD_CHARS> word{};
  size_t len = 0, words = 0;
  for (uint32_t id : key) {
    std::string_view text = id_to_token[id];
    size_t i = 0;
    while (i < text.size()) {
      char32_t c = utf8_next(text, i);
      if (c != END_CHAR) {
        if (len == MAX_WORD_CHARS) return true;
        word[len++] = c;
        continue;
      }
      if (len == 0 || !has_word_shape({word.data(), len})) return true;
      ++words;
      len = 0;
    }
  }
  return len != 0 || words < 2;
}

}  // namespace

bool all_alphanumeric(std::span<const char32_t> chars) {
  return std::all_of(chars.begin(), chars.end(), [](char32_t c) { return is_alphanumeric(c); });
}

bool ngram_has_single_trailing_end(const NgramKey& key, const std::vector<uint8_t>& flags,
                                   const std::vector<std::string>& id_to_token) {
  if (key.empty()) return false;
  uint32_t last = key.back();
  if (!(flags[last] & TOKEN_FLAG_ENDS_WITH_END)) return false;
  for (size_t k = 0; k + 1 < key.size(); ++k) {
    if (flags[key[k]] & TOKEN_FLAG_HAS_END) return false;
  }
  std::string_view text = id_to_token[last];
  return text.size() >= 2 && text.ends_with(END_TOKEN) &&
         text.find(END_TOKEN) == text.size() - END_TOKEN.size();
}

bool ngram_has_forbidden_punct(const NgramKey& key, const TrainConfig& config,
                               const std::vector<uint8_t>& flags,
                               const std::vector<std::string>& id_to_token) {
  if (!config.forbid_punct_tokens || key.empty()) return false;
  uint8_t flags_or = key_flags(key, flags);
  if (!(flags_or & TOKEN_FLAG_OTHER)) return false;
  if (single_word_exception(key, config, flags_or, flags, id_to_token)) return false;
  if (!config.allow_cross_word_punct_word_mix_tokens) return true;
  return cross_word_rejects(key, id_to_token);
}

bool passes_candidate_filter(const NgramKey& key, const TrainConfig& config,
                             const Interner& interner, uint64_t vocab_size) {
  if (config.max_token_chars != 0) {
    uint64_t chars = 0;
    for (uint32_t id : key) chars += interner.char_lens[id];
    if (chars > config.max_token_chars) return false;
  }
  uint8_t flags_or = key_flags(key, interner.flags);
  if (config.forbid_punct_word_mix && (flags_or & TOKEN_FLAG_ALNUM) &&
      (flags_or & TOKEN_FLAG_OTHER)) {
    return false;
  }
  if (config.forbid_punct_tokens &&
      ngram_has_forbidden_punct(key, config, interner.flags, interner.id_to_token)) {
    return false;
  }
  unsigned words = 0;
  for (uint32_t id : key) words = std::min(255u, words + interner.end_counts[id]);
  if (config.max_token_words != 0 && words > config.max_token_words) return false;
  if (words >= 2 && vocab_size < config.cross_word_start_vocab) return false;
  if (config.forbid_incomplete_cross_word && (flags_or & TOKEN_FLAG_HAS_END) &&
      !(interner.flags[key.back()] & TOKEN_FLAG_ENDS_WITH_END)) {
    return false;
  }
  return true;
}

}  // namespace zelkor
