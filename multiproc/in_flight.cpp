// Workers ended from another thread.
#include "multiproc/in_flight.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace zelkor::mp {
namespace {

// Through syscall(): the C library's wrappers are recent, and some of its headers miss C linkage.
int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
void pidfd_kill(int handle) { (void)::syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0); }

}  // namespace

InFlightWorkers::Entry::Entry(InFlightWorkers& owner, pid_t pid) : owner_(owner) {
  // Without a descriptor (an old kernel, no descriptor left) the worker is not held: it then ends
  // with its chunk, as it would without an interrupt.
  const int handle = pidfd_open(pid);
  const std::lock_guard lock(owner_.mutex_);
  if (owner_.stopped_) {
    admitted_ = false;
    ::kill(pid, SIGKILL);  // not reaped yet: the pid is still this worker's
    if (handle >= 0) ::close(handle);
  } else if (handle >= 0) {
    handle_ = handle;
    owner_.held_.push_back(handle);
  }
}

InFlightWorkers::Entry::~Entry() {
  if (handle_ < 0) return;
  const std::lock_guard lock(owner_.mutex_);
  std::erase(owner_.held_, handle_);
  ::close(handle_);
}

void InFlightWorkers::stop() {
  const std::lock_guard lock(mutex_);
  stopped_ = true;
  for (const int handle : held_) pidfd_kill(handle);
}

}  // namespace zelkor::mp
