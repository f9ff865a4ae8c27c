// An owned (strong) reference to a Python object, the one include of Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zelkor::py {

// Whether this thread holds the interpreter lock. A thread that the finalising interpreter ends (when
// it takes the lock back) unwinds without it, through every frame that holds Python objects, and
// touching the interpreter there crashes: release nothing then. PyGILState_Check cannot tell: once
// finalisation is over it answers true on every thread. The thread state is detached whenever the
// lock is given up, so its absence is exact.
inline bool holds_interpreter_lock() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Released on destruction; left alone on a thread without the interpreter lock (see above).
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr && holds_interpreter_lock()) Py_DECREF(p_);
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace zelkor::py
