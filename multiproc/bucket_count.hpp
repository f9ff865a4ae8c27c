// The two bucket counts that MP_BUCKETS sets, each with its own rule: the merge step's bucket
// files (a power of two, since workers mask hashes with it) and the count maps of the corpus
// preprocessing (kept as given). Both are bounded by MAX_BUCKETS: every bucket costs memory or a
// file, and a count beyond it buys nothing. Tested by process_pool_test.cpp and
// preprocess_mp_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkor::mp {

inline constexpr uint64_t MAX_BUCKETS = uint64_t{1} << 20;

// The smallest power of two >= v (1 for 0), at most 2^63.
uint64_t next_power_of_two(uint64_t v);

// A merge step: MP_BUCKETS rounded up to a power of two, at least 64 and at most MAX_BUCKETS.
// Without it, the count follows the step's expected window changes, about WINDOWS_PER_FILE to
// each worker's file (a power of two from 1), up to max(next power of two >= workers, 1024):
// every bucket costs each worker a file or two and the parent as many opens and reads, so a small
// step must not pay for a thousand of them.
inline constexpr uint64_t WINDOWS_PER_FILE = 2048;
uint64_t step_bucket_count(size_t workers, uint64_t expected_windows);

// The preprocessing for `workers` workers: MP_BUCKETS as given (not rounded), at least 64 and at
// most MAX_BUCKETS; else max(256, next power of two >= workers).
uint64_t preprocess_bucket_count(uint64_t workers);

}  // namespace zelkor::mp
