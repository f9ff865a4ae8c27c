// Thread pools on the scheduler's task arenas.
#include "core/pool.hpp"

#include <unistd.h>

#include <tbb/info.h>

namespace zelkor {
namespace {

int checked_threads(uint64_t threads, const std::string& label) {
  if (threads == 0 || threads > MAX_POOL_THREADS) {
    throw Fault(label, "cannot build a pool of " + std::to_string(threads) + " threads");
  }
  return static_cast<int>(threads);
}

}  // namespace

ThreadPool::ThreadPool(uint64_t threads, const std::string& label)
    : arena_(checked_threads(threads, label), 1) {
  const auto n = static_cast<size_t>(threads);
  try {
    if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) < n) {
      raise_.emplace(tbb::global_control::max_allowed_parallelism, n);
    }
    arena_.initialize();
  } catch (const std::exception& e) {
    throw Fault(label, e.what());
  }
}

int default_pool_threads() { return tbb::info::default_concurrency(); }

int current_pool_threads() { return tbb::this_task_arena::max_concurrency(); }

std::unique_ptr<ThreadPool> per_call_pool(uint64_t num_workers, const std::string& label) {
  if (num_workers == 0) return nullptr;
  return std::make_unique<ThreadPool>(num_workers, label);
}

uint64_t counting_pool_threads(uint64_t num_workers) {
  if (num_workers != 0) return num_workers;
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}

}  // namespace zelkor
