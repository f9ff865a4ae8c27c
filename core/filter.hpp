// The candidate filter: whether an n-gram key may become a token, from the limits and flags of
// TrainConfig and the interner's per-id tables. Read-only; safe to call from many threads at
// once while nothing changes the interner. Tested by filter_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/interner.hpp"
#include "core/types.hpp"

namespace zelkor {

// Every id of `key` must index the interner's tables. `vocab_size` is
// vocab_size_with_specials(interner), computed once by the caller for a whole scan.
bool passes_candidate_filter(const NgramKey& key, const TrainConfig& config,
                             const Interner& interner, uint64_t vocab_size);

// True when the punctuation rule rejects the key.
bool ngram_has_forbidden_punct(const NgramKey& key, const TrainConfig& config,
                               const std::vector<uint8_t>& flags,
                               const std::vector<std::string>& id_to_token);

// True when only the last id holds U+0120, exactly once, as its last character.
bool ngram_has_single_trailing_end(const NgramKey& key, const std::vector<uint8_t>& flags,
                                   const std::vector<std::string>& id_to_token);

// True when every character is alphanumeric (true for none).
bool all_alphanumeric(std::span<const char32_t> chars);

}  // namespace zelkor
