// Thread pools: per-call pools of exactly n threads (also beyond the processor count), the
// caller's pool when no workers are asked for, and faults.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include <tbb/parallel_for.h>

#include "core/pool.hpp"

namespace zelkor {
namespace {

// Distinct threads that run tasks of a long parallel loop started here.
size_t threads_seen() {
  std::mutex mu;
  std::set<std::thread::id> ids;
  tbb::parallel_for(0, 2000, [&](int) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard lock(mu);
    ids.insert(std::this_thread::get_id());
  });
  return ids.size();
}

// Runs f() in a new pool of `n` threads.
template <typename F>
decltype(auto) in_pool(uint64_t n, F&& f) {
  ThreadPool pool(n, "build pool");
  return pool.run(std::forward<F>(f));
}

TEST(Pool, PerCallPoolHasExactlyItsThreads) {
  for (uint64_t n : {1, 3}) EXPECT_LE(in_pool(n, threads_seen), n);
  for (uint64_t n : {uint64_t{1}, uint64_t{3}, default_pool_threads() + uint64_t{3}}) {
    EXPECT_EQ(in_pool(n, current_pool_threads), static_cast<int>(n));
  }
  EXPECT_THROW(in_pool(2, [] { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(Pool, ZeroWorkersRunOnTheCallersPool) {
  auto threads = [](uint64_t workers) {
    return run_on(per_call_pool(workers, "build pool").get(), current_pool_threads);
  };
  EXPECT_EQ(threads(0), default_pool_threads());
  EXPECT_EQ(threads(3), 3);
  EXPECT_EQ(in_pool(2, [&] { return threads(0); }), 2);
  EXPECT_EQ(counting_pool_threads(5), 5u);
  EXPECT_GE(counting_pool_threads(0), 1u);
}

TEST(Pool, UnbuildablePoolIsAFaultWithItsLabel) {
  for (uint64_t n : {uint64_t{0}, MAX_POOL_THREADS + 1, UINT64_MAX}) {
    try {
      in_pool(n, [] {});
      FAIL() << "no fault for " << n;
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.label(), "build pool");
    }
  }
}

}  // namespace
}  // namespace zelkor
