// A small strict JSON reader for the one shape vocab.json has: {"text": id, ...}. Strings take
// every JSON escape (surrogate pairs joined; a lone surrogate is an error, since the text must
// be valid UTF-8); ids must be integers from 0 to 4294967295 without sign, fraction or exponent.
#include "encoder/vocab_json.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "core/hash.hpp"
#include "core/unicode.hpp"

namespace zelkor {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  Result<VocabEntries> parse() {
    skip_ws();
    if (!eat('{')) return error("expected `{` at the start of the vocabulary object");
    VocabEntries entries;
    StringMap<size_t> index;  // text -> position in entries, so a repeated key keeps its last id
    skip_ws();
    if (!eat('}')) {
      while (true) {
        skip_ws();
        if (peek() != '"') return error("expected a string key");
        auto key = string();
        if (!key) return std::unexpected(key.error());
        skip_ws();
        if (!eat(':')) return error("expected `:`");
        skip_ws();
        auto id = integer();
        if (!id) return std::unexpected(id.error());
        auto [it, inserted] = index.try_emplace(*key, entries.size());
        if (inserted) {
          entries.emplace_back(std::move(*key), *id);
        } else {
          entries[it->second].second = *id;
        }
        skip_ws();
        if (eat(',')) continue;
        if (eat('}')) break;
        return error("expected `,` or `}`");
      }
    }
    skip_ws();
    if (pos_ != s_.size()) return error("trailing characters");
    return entries;
  }

 private:
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      advance();
      return true;
    }
    return false;
  }
  void advance() {
    if (s_[pos_] == '\n') {
      ++line_;
      line_start_ = pos_ + 1;
    }
    ++pos_;
  }
  void skip_ws() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      advance();
    }
  }
  std::unexpected<Error> error(std::string_view what) const {
    const size_t column = utf8_count(s_.substr(line_start_, pos_ - line_start_)) + 1;
    if (pos_ >= s_.size()) {
      return fail(fmt::format("EOF while parsing: {} at line {} column {}", what, line_, column));
    }
    return fail(fmt::format("{} at line {} column {}", what, line_, column));
  }

  Result<uint32_t> hex4() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = peek();
      int d = c >= '0' && c <= '9' ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return error("invalid \\u escape");
      v = v * 16 + static_cast<uint32_t>(d);
      advance();
    }
    return v;
  }

  Result<std::string> string() {
    advance();  // opening quote
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) return error("unterminated string");
      const auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        advance();
        return out;
      }
      if (c < 0x20) return error("control character in string");
      if (c != '\\') {
        // Copy a run of ordinary bytes; they were checked as UTF-8 with the whole file.
        size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] != '"' && s_[pos_] != '\\' &&
               static_cast<unsigned char>(s_[pos_]) >= 0x20) {
          ++pos_;
        }
        out.append(s_.substr(start, pos_ - start));
        continue;
      }
      advance();
      char e = peek();
      if (pos_ >= s_.size()) return error("unterminated string");
      advance();
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto hi = hex4();
          if (!hi) return std::unexpected(hi.error());
          char32_t cp = *hi;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return error("lone surrogate in \\u escape");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!eat('\\') || !eat('u')) return error("lone surrogate in \\u escape");
            auto lo = hex4();
            if (!lo) return std::unexpected(lo.error());
            if (*lo < 0xDC00 || *lo > 0xDFFF) return error("lone surrogate in \\u escape");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
          }
          utf8_append(out, cp);
          break;
        }
        default:
          return error("invalid escape");
      }
    }
  }

  Result<uint32_t> integer() {
    const size_t start = pos_;
    if (peek() == '-') return error("invalid value: expected a u32 id, found a negative number");
    if (peek() < '0' || peek() > '9') return error("invalid type: expected a u32 id");
    uint64_t v = 0;
    bool too_large = false;
    while (peek() >= '0' && peek() <= '9') {
      v = v * 10 + static_cast<uint64_t>(peek() - '0');
      too_large |= v > UINT32_MAX;
      if (too_large) v = UINT32_MAX;
      advance();
    }
    if (pos_ - start > 1 && s_[start] == '0') return error("invalid number: leading zero");
    if (peek() == '.' || peek() == 'e' || peek() == 'E') {
      return error("invalid type: expected a u32 id, found a floating point number");
    }
    if (too_large) return error("invalid value: id out of range for u32");
    return static_cast<uint32_t>(v);
  }

  std::string_view s_;
  size_t pos_ = 0;
  size_t line_ = 1;
  size_t line_start_ = 0;
};

}  // namespace

Result<VocabEntries> parse_vocab_json(std::string_view text) {
  if (size_t bad = first_invalid_utf8(text); bad != std::string_view::npos) {
    std::string_view before = text.substr(0, bad);
    size_t line_start = before.rfind('\n');
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    return fail(fmt::format("invalid UTF-8 at line {} column {}", line,
                            utf8_count(before.substr(line_start)) + 1));
  }
  return Parser(text).parse();
}

}  // namespace zelkor
