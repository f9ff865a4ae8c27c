// Thread pools: per-call pools of exactly n threads, the default pool, and faults.
#include <gtest/gtest.h>

#include <atomic>
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

TEST(Pool, PerCallPoolHasExactlyItsThreads) {
  for (uint64_t n : {1, 3}) {
    size_t seen = run_in_pool(n, "build pool", [] { return threads_seen(); });
    EXPECT_LE(seen, n);
    EXPECT_EQ(run_in_pool(n, "build pool", [] { return current_pool_threads(); }),
              static_cast<int>(n));
  }
}

TEST(Pool, MoreThreadsThanProcessors) {
  uint64_t n = static_cast<uint64_t>(default_pool_threads()) + 3;
  EXPECT_EQ(run_in_pool(n, "build pool", [] { return current_pool_threads(); }),
            static_cast<int>(n));
}

TEST(Pool, ZeroWorkersRunOnTheCallersPool) {
  EXPECT_EQ(run_with_workers(0, "build pool", [] { return current_pool_threads(); }),
            default_pool_threads());
  int nested = run_in_pool(2, "build pool", [] {
    return run_with_workers(0, "build pool", [] { return current_pool_threads(); });
  });
  EXPECT_EQ(nested, 2);
}

TEST(Pool, UnbuildablePoolIsAFaultWithItsLabel) {
  for (uint64_t n : {uint64_t{0}, MAX_POOL_THREADS + 1, UINT64_MAX}) {
    try {
      run_in_pool(n, "build pool", [] {});
      FAIL() << "no fault for " << n;
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.label(), "build pool");
    }
  }
}

TEST(Pool, ExceptionsOfTheBodyPropagate) {
  EXPECT_THROW(run_in_pool(2, "build pool", [] { throw std::runtime_error("boom"); }),
               std::runtime_error);
}

TEST(Pool, CountingPoolDefaultsToOnlineProcessors) {
  EXPECT_EQ(counting_pool_threads(5), 5u);
  EXPECT_GE(counting_pool_threads(0), 1u);
}

}  // namespace
}  // namespace zelkor
