// Ceiling division for counts of chunks and runs: (a + b - 1) / b wraps when a + b exceeds 2^64
// (a chunk size taken from the environment can be anything). Tested by worker_test.cpp.
#pragma once

#include <cstdint>

namespace zelkor {

// ceil(a / b) for b > 0, exact for every a and b.
constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace zelkor
