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

// Takes the calling thread's thread-local storage of the libraries loaded with this one (the C++
// runtime's exception state, this library's own): the loader allocates it on a thread's first use
// and ends the process when it cannot, so it is taken early rather than by the first
// std::bad_alloc thrown when memory has run out.
void prepare_thread();

// Checks that the scheduler can have `threads` threads of its own. It starts them from its own
// threads, where a failure ends the process, so those it may still have to start (all but its
// threads that entered a pool of ours and live on) are started, and ended, here first; a Fault
// carrying `label` when they cannot be. A count once checked is not checked again.
void check_threads_startable(uint64_t threads, const std::string& label);

class ThreadPreparer;

// A call's parallel sections on the default pool, from the calling thread: checks that the pool's
// threads can be started (a Fault carrying `label` when not) and prepares (prepare_thread) the
// threads that enter it while it lives.
class DefaultPoolScope {
 public:
  explicit DefaultPoolScope(const std::string& label);
  DefaultPoolScope(const DefaultPoolScope&) = delete;
  DefaultPoolScope& operator=(const DefaultPoolScope&) = delete;
  ~DefaultPoolScope();

 private:
  std::unique_ptr<ThreadPreparer> preparer_;
};

// A pool of exactly `threads` threads, whose threads are checked (check_threads_startable) and
// prepared (prepare_thread) as they enter it. Not copyable; run() may be called many times, from
// one thread at a time.
class ThreadPool {
 public:
  // A pool that cannot be built is a Fault carrying `label`.
  ThreadPool(uint64_t threads, const std::string& label);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();

  // Runs f() inside the pool and blocks until it is done; exceptions of f() propagate.
  template <typename F>
  decltype(auto) run(F&& f) {
    return arena_.execute(std::forward<F>(f));
  }

 private:
  // The scheduler caps worker threads at the processor count unless raised for the pool's life.
  std::optional<tbb::global_control> raise_;
  tbb::task_arena arena_;
  std::unique_ptr<ThreadPreparer> preparer_;
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
