// Bucket counts.
#include "multiproc/bucket_count.hpp"

#include <algorithm>

#include "core/env.hpp"

namespace zelkor::mp {

uint64_t next_power_of_two(uint64_t v) {
  uint64_t p = 1;
  while (p < v && p < (uint64_t{1} << 63)) p <<= 1;
  return p;
}

uint64_t step_bucket_count(size_t workers) {
  if (auto v = env_u64("MP_BUCKETS")) return std::clamp<uint64_t>(next_power_of_two(*v), 64, MAX_BUCKETS);
  return std::max<uint64_t>(next_power_of_two(std::max<size_t>(workers, 1)), 1024);
}

uint64_t preprocess_bucket_count(uint64_t workers) {
  if (auto v = env_u64("MP_BUCKETS")) return std::clamp<uint64_t>(*v, 64, MAX_BUCKETS);
  return std::clamp<uint64_t>(next_power_of_two(workers), 256, MAX_BUCKETS);
}

}  // namespace zelkor::mp
