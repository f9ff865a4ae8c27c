// DpTokenizer construction and encoding.
#include "encoder/encoder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/debug_fmt.hpp"
#include "core/env.hpp"
#include "core/normalize.hpp"
#include "core/unicode.hpp"
#include "encoder/vocab_json.hpp"

namespace zelkor {
namespace {

// The whole file, or its open error and its read error kept apart (they get different labels).
struct FileText {
  std::string text;
  int open_errno = 0;
  int read_errno = 0;
};

FileText read_whole_file(const std::string& path) {
  FileText out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.open_errno = errno;
    return out;
  }
  char buffer[8192];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.read_errno = errno;
      break;
    }
    if (n == 0) break;
    out.text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

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
  FileText file = read_whole_file(vocab_file);
  if (file.open_errno != 0) {
    return std::unexpected(Error::io(file.open_errno).context("open vocab failed"));
  }
  if (file.read_errno != 0) {
    return std::unexpected(Error::io(file.read_errno).context("parse vocab.json failed"));
  }
  auto vocab = parse_vocab_json(file.text);
  if (!vocab) return std::unexpected(std::move(vocab.error()).context("parse vocab.json failed"));
  return from_entries(*vocab, unk_token.value_or("<unk>"));
}

Result<DpTokenizer> DpTokenizer::from_entries(
    const std::vector<std::pair<std::string, uint32_t>>& vocab, const std::string& unk_token) {
  DpTokenizer tok;
  auto unk = std::find_if(vocab.begin(), vocab.end(),
                          [&](const auto& entry) { return entry.first == unk_token; });
  if (unk == vocab.end()) {
    return fail("unk_token " + debug_quoted(unk_token) + " not found in vocab");
  }
  tok.unk_id_ = unk->second;
  const bool forbid_end_inner = env_is_set("ZELKOR_FORBID_END_INNER");
  tok.cross_word_whole_only_ = !forbid_end_inner && env_is_set("ZELKOR_CROSS_WORD_WHOLE_ONLY");
  const bool forbid_punct_tokens = env_is_set("ZELKOR_FORBID_PUNCT_TOKENS");
  for (const auto& [text, id] : vocab) {
    if (forbid_punct_tokens && has_punct(text)) continue;
    const bool end_inner = has_inner_end(text);
    if (end_inner && forbid_end_inner) continue;
    if (end_inner && tok.cross_word_whole_only_) {
      // A cross-word token must cover whole words: start a word and end at a word end.
      if (!text.ends_with(END_TOKEN) || text.starts_with(END_TOKEN)) continue;
      // Sized on demand: ids beyond the vector count as unflagged, so a huge id in a small
      // vocabulary costs nothing unless it is flagged.
      if (id >= tok.require_word_start_.size()) tok.require_word_start_.resize(size_t{id} + 1);
      tok.require_word_start_[id] = true;
    }
    tok.trie_.insert(text, id);
  }
  tok.trie_.freeze();
  return tok;
}

std::vector<uint32_t> DpTokenizer::encode(std::string_view text) const {
  const std::vector<char32_t> chars = normalize_chars(text);
  if (cross_word_whole_only_) {
    return trie_.dp_min_ids_allow_unk_require_word_start(chars, unk_id_, require_word_start_,
                                                         END_CHAR);
  }
  return trie_.dp_min_ids_allow_unk(chars, unk_id_);
}

}  // namespace zelkor
