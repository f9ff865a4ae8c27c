// The tokenizer directory writer: the trained token texts plus the five special tokens, ids by
// export order, and the five files vocab.json, tokenizer_config.json, special_tokens_map.json,
// tokenization_zelkor.py and README.md. Stateless. Tested by export_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/hash.hpp"

namespace zelkor::hf_export {

// 0 to 4 for the special tokens in rank order, 100 for any other text.
uint32_t special_rank(std::string_view text);

// Specials first by rank, then the other texts by their UTF-8 bytes.
bool export_token_less(std::string_view a, std::string_view b);

// Writes the directory `out_dir` (created with missing parents) and returns text -> exported id.
// The five files replace their old versions together (replace_files.hpp): a failed export ends
// with the error of the first failed operation and leaves the directory as it was.
Result<StringMap<uint32_t>> export_from_trained(std::span<const std::string> tokens,
                                                const std::string& out_dir);

}  // namespace zelkor::hf_export
