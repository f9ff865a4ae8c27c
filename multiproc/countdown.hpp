// Parts of a job that other threads finish while the thread driving the call waits for them. It
// waits in slices and asks its interrupt hook between them (core/interrupt.hpp), so that a part
// that never ends (a stopped worker process) does not hold up a Ctrl-C. Tested through
// process_pool_test.cpp and test_interrupt.py.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "core/error.hpp"

namespace zelkor::mp {

class Countdown {
 public:
  explicit Countdown(size_t parts) : left_(parts) {}

  // One part is done; any thread.
  void count_down();
  // Blocks until every part is done, or returns Error::interrupted() once the hook says stop;
  // the parts then go on, and the caller ends them before it lets go of what they use.
  Result<void> wait();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t left_;
};

}  // namespace zelkor::mp
