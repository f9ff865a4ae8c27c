// Thread pools: a per-call pool of exactly n threads, and the process-wide default pool (one
// thread per online processor). Parallel algorithms called inside a pool stay in it, so code run
// by run_in_pool uses "the pool of the calling thread" without naming it. Tested by pool_test.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "core/error.hpp"

namespace zelkor {

// Largest per-call pool we agree to build.
inline constexpr uint64_t MAX_POOL_THREADS = 4096;

// Threads of the process-wide default pool.
int default_pool_threads();

// Threads available to parallel algorithms called from here (the current pool's size).
int current_pool_threads();

// Runs f() inside a new pool of exactly `threads` threads and drops the pool afterwards.
// A pool that cannot be built is a Fault carrying `label`. Exceptions of f() propagate.
template <typename F>
decltype(auto) run_in_pool(uint64_t threads, const std::string& label, F&& f) {
  if (threads == 0 || threads > MAX_POOL_THREADS) {
    throw Fault(label, "cannot build a pool of " + std::to_string(threads) + " threads");
  }
  const int n = static_cast<int>(threads);
  // The scheduler caps worker threads at the processor count unless told otherwise.
  std::optional<tbb::global_control> raise;
  if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) <
      static_cast<size_t>(n)) {
    raise.emplace(tbb::global_control::max_allowed_parallelism, static_cast<size_t>(n));
  }
  std::optional<tbb::task_arena> arena;
  try {
    arena.emplace(n, 1);
    arena->initialize();
  } catch (const std::exception& e) {
    throw Fault(label, e.what());
  }
  return arena->execute(std::forward<F>(f));
}

// The rule of the per-call sections: a new pool of `num_workers` threads when it is non-zero,
// else the calling thread's pool (the default pool outside any pool).
template <typename F>
decltype(auto) run_with_workers(uint64_t num_workers, const std::string& label, F&& f) {
  if (num_workers != 0) return run_in_pool(num_workers, label, std::forward<F>(f));
  return std::forward<F>(f)();
}

// Threads for a counting pool: `num_workers`, or one per online processor when it is 0.
uint64_t counting_pool_threads(uint64_t num_workers);

}  // namespace zelkor
