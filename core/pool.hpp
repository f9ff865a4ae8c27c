// Thread pools: a pool of exactly n threads built per call, and the process-wide default pool
// (one thread per online processor). Parallel algorithms called inside a pool stay in it, so
// code run by ThreadPool::run uses "the pool of the calling thread" without naming it.
// Tested by pool_test.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "core/error.hpp"

namespace zelkor {

// Largest pool we agree to build.
inline constexpr uint64_t MAX_POOL_THREADS = 4096;

// Threads of the process-wide default pool.
int default_pool_threads();

// Threads available to parallel algorithms called from here (the current pool's size).
int current_pool_threads();

// A pool of exactly `threads` threads. Not copyable; run() may be called many times, from one
// thread at a time.
class ThreadPool {
 public:
  // A pool that cannot be built is a Fault carrying `label`.
  ThreadPool(uint64_t threads, const std::string& label);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Runs f() inside the pool and blocks until it is done; exceptions of f() propagate.
  template <typename F>
  decltype(auto) run(F&& f) {
    return arena_.execute(std::forward<F>(f));
  }

 private:
  // The scheduler caps worker threads at the processor count unless raised for the pool's life.
  std::optional<tbb::global_control> raise_;
  tbb::task_arena arena_;
};

// Runs f() in `pool`, or on the calling thread's pool (the default pool outside any pool) when
// it is null.
template <typename F>
decltype(auto) run_on(ThreadPool* pool, F&& f) {
  if (pool != nullptr) return pool->run(std::forward<F>(f));
  return std::forward<F>(f)();
}

// The pool of a per-call parallel section: a new pool of `num_workers` threads when that is
// non-zero, else none (the section runs on the calling thread's pool).
std::unique_ptr<ThreadPool> per_call_pool(uint64_t num_workers, const std::string& label);

// Threads for a counting pool: `num_workers`, or one per online processor when it is 0.
uint64_t counting_pool_threads(uint64_t num_workers);

}  // namespace zelkor
