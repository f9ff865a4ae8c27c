// Test helpers.
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor::testing {

std::string with_ends(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '_') {
      out += G;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

NgramKey key_of(Interner& interner, std::string_view spec) {
  NgramKey key;
  size_t start = 0;
  while (true) {
    size_t bar = spec.find('|', start);
    std::string_view part = spec.substr(start, bar == std::string_view::npos ? bar : bar - start);
    key.push_back(interner.intern(with_ends(part)));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return key;
}

}  // namespace zelkor::testing
