// Thread pools on the scheduler's task arenas.
#include "core/pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include <tbb/info.h>
#include <tbb/task_scheduler_observer.h>

#include "core/hash.hpp"

namespace zelkor {
namespace {

// The scheduler's threads that have entered an arena of ours and not ended.
std::atomic<uint64_t> scheduler_threads{0};
struct SchedulerThread {
  SchedulerThread() { ++scheduler_threads; }
  ~SchedulerThread() { --scheduler_threads; }
};

// Starts `count` threads that wait until all are started, then ends them; 0 or the error code
// of the first start that failed.
int start_waiting_threads(uint64_t count) {
  pthread_attr_t attr;
  if (int err = pthread_attr_init(&attr); err != 0) return err;
  // The scheduler's own stack size, so that an address-space limit counts as it will.
  const size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  int err = stack > 0 ? pthread_attr_setstacksize(&attr, stack) : 0;
  std::vector<pthread_t> started;
  started.reserve(count);  // before any thread waits at the gate
  std::mutex gate;
  gate.lock();
  auto wait_at_gate = [](void* arg) -> void* {
    std::lock_guard pass(*static_cast<std::mutex*>(arg));
    return nullptr;
  };
  for (uint64_t i = 0; err == 0 && i < count; ++i) {
    pthread_t thread;
    err = pthread_create(&thread, &attr, wait_at_gate, &gate);
    if (err == 0) started.push_back(thread);
  }
  gate.unlock();
  for (pthread_t thread : started) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return err;
}

int checked_threads(uint64_t threads, const std::string& label) {
  if (threads == 0 || threads > MAX_POOL_THREADS) {
    throw Fault(label, "cannot build a pool of " + std::to_string(threads) + " threads");
  }
  return static_cast<int>(threads);
}

}  // namespace

void prepare_thread() {
  // The runtime's per-thread exception state; the call is declared pure, so its result is kept.
  [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
  (void)next_map_seed();  // this library's thread-locals
}

void check_threads_startable(uint64_t threads, const std::string& label) {
  static std::mutex mutex;
  static uint64_t checked = 0;  // the scheduler starts at most this many (its threads live on)
  std::lock_guard lock(mutex);
  if (threads <= checked) return;
  const uint64_t running = scheduler_threads.load();
  if (threads <= running) return;
  if (int err = start_waiting_threads(threads - running); err != 0) {
    throw Fault(label, Error::io(err).render());
  }
  checked = threads;
}

// Prepares every thread that enters the arena while it lives, and counts the scheduler's threads.
class ThreadPreparer final : public tbb::task_scheduler_observer {
 public:
  // The calling thread's own (default) arena; the calling thread is prepared at once.
  ThreadPreparer() { observe(true); }
  explicit ThreadPreparer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
  ~ThreadPreparer() override { observe(false); }
  void on_scheduler_entry(bool worker) override {
    prepare_thread();
    if (worker) {
      thread_local SchedulerThread counted;
    }
  }
};

DefaultPoolScope::DefaultPoolScope(const std::string& label) {
  check_threads_startable(static_cast<uint64_t>(default_pool_threads() - 1), label);
  preparer_ = std::make_unique<ThreadPreparer>();
}

DefaultPoolScope::~DefaultPoolScope() = default;

ThreadPool::ThreadPool(uint64_t threads, const std::string& label)
    : arena_(checked_threads(threads, label), 1) {
  const auto n = static_cast<size_t>(threads);
  check_threads_startable(threads - 1, label);  // the caller is the pool's last thread
  try {
    if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) < n) {
      raise_.emplace(tbb::global_control::max_allowed_parallelism, n);
    }
    arena_.initialize();
    preparer_ = std::make_unique<ThreadPreparer>(arena_);
  } catch (const std::exception& e) {
    throw Fault(label, e.what());
  }
}

ThreadPool::~ThreadPool() = default;

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
