// The interrupt hook of the training functions.
#include "python/signal_check.hpp"

#include "python/ref.hpp"

namespace zelkor::py {
namespace {

// Runs the pending signal handlers, taking the lock for that moment when the caller released it.
// Handlers run only on the main thread; elsewhere this is false.
bool signal_handler_raised() {
  if (holds_interpreter_lock()) return PyErr_CheckSignals() != 0;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return raised;
}

}  // namespace

SignalCheck::SignalCheck() : scope_(signal_handler_raised) {}

}  // namespace zelkor::py
