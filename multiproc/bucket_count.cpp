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

uint64_t step_bucket_count(size_t workers, uint64_t expected_windows) {
  if (auto v = env_u64("MP_BUCKETS")) return std::clamp<uint64_t>(next_power_of_two(*v), 64, MAX_BUCKETS);
  const uint64_t most = std::max<uint64_t>(next_power_of_two(std::max<size_t>(workers, 1)), 1024);
  const uint64_t per_bucket = WINDOWS_PER_FILE * std::max<size_t>(workers, 1);
  return std::min(next_power_of_two(expected_windows / per_bucket), most);
}

uint64_t preprocess_bucket_count(uint64_t workers) {
  if (auto v = env_u64("MP_BUCKETS")) return std::clamp<uint64_t>(*v, 64, MAX_BUCKETS);
  return std::clamp<uint64_t>(next_power_of_two(workers), 256, MAX_BUCKETS);
}

}  // namespace zelkor::mp
