// Worker sizing and the worker's pool.
#include "multiproc/worker_state.hpp"

#include <algorithm>
#include <memory>
#include <mutex>

#include "core/env.hpp"

namespace zelkor::mp {

uint64_t WorkerState::worker_threads() {
  if (auto threads = env_u64("WORKER_THREADS")) return std::max<uint64_t>(*threads, 1);
  return counting_pool_threads(0);
}

uint64_t WorkerState::worker_chunk(uint64_t entry_count, uint64_t threads) {
  if (auto chunk = env_u64("WORKER_CHUNK")) return std::max<uint64_t>(*chunk, 1024);
  uint64_t divisor;
  if (__builtin_mul_overflow(threads, uint64_t{4}, &divisor)) divisor = UINT64_MAX;
  return std::clamp<uint64_t>(divisor == 0 ? entry_count : entry_count / divisor, 8192, 20000);
}

ThreadPool& worker_pool() {
  static std::once_flag once;
  static std::unique_ptr<ThreadPool> pool;
  std::call_once(once, [] {
    pool = std::make_unique<ThreadPool>(WorkerState::worker_threads(), "build worker rayon pool");
  });
  return *pool;
}

}  // namespace zelkor::mp
