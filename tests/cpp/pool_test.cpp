// Thread pools: per-call pools of exactly n threads (also beyond the processor count), the
// caller's pool when no workers are asked for, faults, and the moving reduce.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>

#include "core/pool.hpp"
#include "core/reduce.hpp"

namespace zelkor {
namespace {

// Runs f() in a new pool of `n` threads.
template <typename F>
decltype(auto) in_pool(uint64_t n, F&& f) {
  ThreadPool pool(n, "build pool");
  return pool.run(std::forward<F>(f));
}

TEST(Pool, PerCallPoolHasExactlyItsThreads) {
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

// A move-only accumulator compiles only if nothing copies it; pieces and joins keep range order.
TEST(Pool, ReduceMovesItsPartialResultsInOrder) {
  using Seen = std::unique_ptr<std::vector<int>>;
  const Seen seen = in_pool(4, [] {
    return reduce_moving<Seen>(
        tbb::blocked_range<int>(0, 100000, 16),
        [](const tbb::blocked_range<int>& piece, Seen& acc) {
          if (!acc) acc = std::make_unique<std::vector<int>>();
          for (int i = piece.begin(); i != piece.end(); ++i) acc->push_back(i);
        },
        [](Seen& left, Seen&& right) {
          if (!left) left = std::make_unique<std::vector<int>>();
          if (right) left->insert(left->end(), right->begin(), right->end());
        });
  });
  std::vector<int> expected(100000);
  std::iota(expected.begin(), expected.end(), 0);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, expected);
}

// The scheduler passes an exception of a piece on but leaves the caller of a reduce whose join
// threw waiting for ever; reduce_moving throws either. Every piece waits until a second thread
// has taken one, so that partial results are joined.
TEST(Pool, ReduceThrowsAnExceptionOfAPieceOrAJoin) {
  for (const bool in_join : {false, true}) {
    auto outcome = std::make_shared<std::promise<bool>>();
    std::future<bool> thrown = outcome->get_future();
    std::thread([outcome, in_join] {
      std::mutex mutex;
      std::set<std::thread::id> threads;
      auto fold = [&](const tbb::blocked_range<int>&, int& acc) {
        if (!in_join) throw std::bad_alloc();
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (bool shared = false; !shared && std::chrono::steady_clock::now() < give_up;) {
          std::lock_guard lock(mutex);
          threads.insert(std::this_thread::get_id());
          shared = threads.size() > 1;
        }
        ++acc;
      };
      try {
        in_pool(4, [&] {
          return reduce_moving<int>(tbb::blocked_range<int>(0, 64, 1), fold,
                                    [](int&, int&&) { throw std::bad_alloc(); });
        });
        outcome->set_value(false);
      } catch (const std::bad_alloc&) {
        outcome->set_value(true);
      }
    }).detach();
    if (thrown.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "reduce_moving hung after its " << (in_join ? "join" : "piece") << " threw";
      std::_Exit(1);  // the hung reduce would keep the test from ending
    }
    EXPECT_TRUE(thrown.get()) << in_join;
  }
}

}  // namespace
}  // namespace zelkor
