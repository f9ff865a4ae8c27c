// Waiting for parts done elsewhere.
#include "multiproc/countdown.hpp"

#include <chrono>

#include "core/interrupt.hpp"

namespace zelkor::mp {

void Countdown::count_down() {
  const std::lock_guard lock(mutex_);
  --left_;
  changed_.notify_all();
}

Result<void> Countdown::wait() {
  constexpr auto SLICE = std::chrono::milliseconds(100);
  std::unique_lock lock(mutex_);
  while (!changed_.wait_for(lock, SLICE, [&] { return left_ == 0; })) {
    lock.unlock();  // the hook may run Python code for a while
    if (auto go_on = check_interrupt_now(); !go_on) return go_on;
    lock.lock();
  }
  return {};
}

}  // namespace zelkor::mp
