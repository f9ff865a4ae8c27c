// DpTokenizer construction and encoding.
#include "encoder/encoder.hpp"

#include <algorithm>

#include "core/debug_fmt.hpp"
#include "core/env.hpp"
#include "core/file_io.hpp"
#include "core/normalize.hpp"
#include "core/unicode.hpp"
#include "encoder/vocab_json.hpp"

namespace zelkor {
namespace {

// More than one character and some character other than U+0120 is not alphanumeric.
bool has_punct(std::string_view token) {
  if (utf8_count(token) <= 1) return false;
  for (size_t i = 0; i < token.size();) {
    char32_t c = utf8_next(token, i);
    if (c != END_CHAR && !is_alphanumeric(c)) return true;
  }
  return false;
}

// U+0120 somewhere before the last character.
bool has_inner_end(std::string_view token) {
  size_t pos = token.find(END_TOKEN);
  return pos != std::string_view::npos && pos + END_TOKEN.size() < token.size();
}

}  // namespace

Result<DpTokenizer> DpTokenizer::create(const std::string& vocab_file,
                                        const std::optional<std::string>& unk_token) {
  // A read error counts as a parse error, an open error does not.
  auto file = File::open_read(vocab_file);
  if (!file) return std::unexpected(std::move(file.error()).context("open vocab failed"));
  auto text = file->read_rest();
  if (!text) return std::unexpected(std::move(text.error()).context("parse vocab.json failed"));
  auto vocab = parse_vocab_json(*text);
  if (!vocab) return std::unexpected(std::move(vocab.error()).context("parse vocab.json failed"));
  return from_entries(*vocab, unk_token.value_or("<unk>"));
}

Result<DpTokenizer> DpTokenizer::from_entries(
    const std::vector<std::pair<std::string, uint32_t>>& vocab, const std::string& unk_token) {
  DpTokenizer tok;
  auto unk = std::find_if(vocab.begin(), vocab.end(),
                          [&](const auto& entry) { return entry.first == unk_token; });
  if (unk == vocab.end()) {
    return fail("unk_token " + debug_quoted(unk_token, Escape::NonPrintable) + " not found in vocab");
  }
  tok.unk_id_ = unk->second;
  const bool forbid_end_inner = env_is_set("ZELKOR_FORBID_END_INNER");
  tok.cross_word_whole_only_ = !forbid_end_inner && env_is_set("ZELKOR_CROSS_WORD_WHOLE_ONLY");
  const bool forbid_punct_tokens = env_is_set("ZELKOR_FORBID_PUNCT_TOKENS");
  absl::flat_hash_set<uint32_t> word_start_ids;  // sized by the flagged ids, whatever their values
  for (const auto& [text, id] : vocab) {
    if (forbid_punct_tokens && has_punct(text)) continue;
    const bool end_inner = has_inner_end(text);
    if (end_inner && forbid_end_inner) continue;
    if (end_inner && tok.cross_word_whole_only_) {
      // A cross-word token must cover whole words: start a word and end at a word end.
      if (!text.ends_with(END_TOKEN) || text.starts_with(END_TOKEN)) continue;
      word_start_ids.insert(id);
    }
    tok.trie_.insert(text, id);
  }
  tok.trie_.freeze(word_start_ids);
  return tok;
}

std::vector<uint32_t> DpTokenizer::encode(std::string_view text) const {
  const std::vector<char32_t> chars = normalize_chars(text);
  if (cross_word_whole_only_) {
    return trie_.dp_min_ids_allow_unk_require_word_start(chars, unk_id_, END_CHAR);
  }
  return trie_.dp_min_ids_allow_unk(chars, unk_id_);
}

}  // namespace zelkor
