// Helpers shared by the C++ tests: building keys and vocabularies from readable texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/interner.hpp"
#include "core/types.hpp"

namespace zelkor::testing {

// "Ġ" spelled out, for readable test tables.
inline constexpr std::string_view G = "\xC4\xA0";

// Replaces every "_" of `text` by U+0120, so "a_" reads as a followed by an end-of-word mark.
std::string with_ends(std::string_view text);

// Interns each "|"-separated part of `spec` (after with_ends) and returns the key of their ids.
NgramKey key_of(Interner& interner, std::string_view spec);

}  // namespace zelkor::testing
