// Reading vocab.json: one JSON object mapping token texts to unsigned 32-bit ids, in file
// order (a repeated key keeps its last value). Tested by export_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace zelkor {

using VocabEntries = std::vector<std::pair<std::string, uint32_t>>;

// Parses `text`; only white space may follow the object. Errors name line and column.
Result<VocabEntries> parse_vocab_json(std::string_view text);

}  // namespace zelkor
