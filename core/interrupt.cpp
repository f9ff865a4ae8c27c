// Stop requests.
#include "core/interrupt.hpp"

#include <chrono>

namespace zelkor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto PERIOD = std::chrono::milliseconds(20);

thread_local InterruptHook hook = nullptr;
thread_local Clock::time_point last_asked{};

}  // namespace

InterruptScope::InterruptScope(InterruptHook installed) : previous_(hook) { hook = installed; }

InterruptScope::~InterruptScope() { hook = previous_; }

Result<void> check_interrupt_now() {
  if (hook == nullptr) return {};
  last_asked = Clock::now();
  if (hook()) return std::unexpected(Error::interrupted());
  return {};
}

Result<void> check_interrupt() {
  if (hook == nullptr || Clock::now() - last_asked < PERIOD) return {};
  return check_interrupt_now();
}

}  // namespace zelkor
