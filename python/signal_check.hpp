// Ctrl-C during a training call: the core's long loops ask an interrupt hook between steps
// (core/interrupt.hpp); this one runs the interpreter's pending signal handlers. A handler that
// raises (KeyboardInterrupt) stops the loop, and its exception stays pending until the stop's
// Failure takes it (failure.hpp), so the call ends with it unchanged.
#pragma once

#include "core/interrupt.hpp"

namespace zelkor::py {

// Installs the hook on the calling thread, which holds the interpreter lock, for the scope.
class SignalCheck {
 public:
  SignalCheck();

 private:
  InterruptScope scope_;
};

}  // namespace zelkor::py
