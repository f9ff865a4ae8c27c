// Text normalisation: words split on White_Space, each followed by U+0120; nothing else changes.
// The three forms agree element by element; none fails or reads any configuration.
// Tested by normalize_test.cpp.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelkor {

// One string per character of the normalised text.
std::vector<std::string> encode_sentence_str(std::string_view text);
// The same sequence as characters (the form the encoder walks).
std::vector<char32_t> normalize_chars(std::string_view text);
// The same sequence as one UTF-8 string: the form in which the corpus counters key their maps.
std::string normalized_text(std::string_view text);

}  // namespace zelkor
