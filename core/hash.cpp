// The process-wide hash seed and the per-map seed sequence.
#include "core/hash.hpp"

#include <atomic>
#include <random>

namespace zelkor {
namespace {

uint64_t process_seed() {
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
  }();
  return seed;
}

}  // namespace

uint64_t next_map_seed() {
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix64(process_seed() + n * 0x9e3779b97f4a7c15ULL);
}

}  // namespace zelkor
