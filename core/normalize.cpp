// Text normalisation.
#include "core/normalize.hpp"

#include "core/unicode.hpp"

namespace zelkor {
namespace {

// Calls emit(begin, end) for the byte range of every character of the normalised sequence,
// and emit_end() after every word.
template <typename Char, typename End>
void walk_normalized(std::string_view text, Char&& emit, End&& emit_end) {
  bool in_word = false;
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    char32_t c = utf8_next(text, i);
    if (is_white_space(c)) {
      if (in_word) emit_end();
      in_word = false;
    } else {
      emit(start, i, c);
      in_word = true;
    }
  }
  if (in_word) emit_end();
}

}  // namespace

std::vector<std::string> encode_sentence_str(std::string_view text) {
  std::vector<std::string> out;
  out.reserve(text.size() + text.size() / 4 + 1);
  walk_normalized(
      text,
      [&](size_t b, size_t e, char32_t c) {
        // A malformed byte decodes as U+FFFD; emit that, not the raw byte, so both forms agree.
        if (c == 0xFFFD && e - b != 3) {
          out.emplace_back("\xEF\xBF\xBD");
        } else {
          out.emplace_back(text.substr(b, e - b));
        }
      },
      [&] { out.emplace_back(END_TOKEN); });
  return out;
}

std::string normalized_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4 + 2);
  walk_normalized(
      text,
      [&](size_t b, size_t e, char32_t c) {
        if (c == 0xFFFD && e - b != 3) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(text.substr(b, e - b));
        }
      },
      [&] { out += END_TOKEN; });
  return out;
}

std::vector<char32_t> normalize_chars(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size() + text.size() / 4 + 1);
  walk_normalized(
      text, [&](size_t, size_t, char32_t c) { out.push_back(c); }, [&] { out.push_back(END_CHAR); });
  return out;
}

}  // namespace zelkor
