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
  // Each thread draws its own range of the sequence once, so building many small maps in
  // parallel does not contend on one counter.
  static std::atomic<uint64_t> next_thread{0};
  thread_local const uint64_t thread_base =
      next_thread.fetch_add(1, std::memory_order_relaxed) << 40;
  thread_local uint64_t local = 0;
  return mix64(process_seed() + (thread_base | local++) * 0x9e3779b97f4a7c15ULL);
}

}  // namespace zelkor
