// Stopping a long call on request (Ctrl-C) without the core knowing who asks. The embedding layer
// installs a hook on the thread that drives the call; the long loops (merge steps, corpus reads,
// text intake) call check_interrupt() between steps and end the call with the "interrupted"
// error once the hook says stop. Threads without a hook (pool workers) never stop this way.
// Tested through test_interrupt.py.
#pragma once

#include "core/error.hpp"

namespace zelkor {

// True: stop the call. Runs on the thread that installed it.
using InterruptHook = bool (*)();

// Installs `hook` for the calling thread for the scope's life (the previous one comes back).
class InterruptScope {
 public:
  explicit InterruptScope(InterruptHook hook);
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
  ~InterruptScope();

 private:
  InterruptHook previous_;
};

// Asks this thread's hook, at most once per 20 ms (cheap enough for every step or read buffer):
// nothing, or Error::interrupted() once it said stop.
Result<void> check_interrupt();

// The same without the wait (after a blocking call came back early, before output is written).
Result<void> check_interrupt_now();

}  // namespace zelkor
