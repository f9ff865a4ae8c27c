// Small helpers for the CPython boundary: a scope that releases the interpreter lock, method
// table casts, None and str objects.
#pragma once

#include <string_view>

#include "python/failure.hpp"

namespace zelkor::py {

// Releases the interpreter lock for the scope; no Python object may be touched inside.
// Taking the lock back after the interpreter began to finalise ends the thread by unwinding it,
// so the destructor must let that unwinding pass (an implicitly noexcept one would abort).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A function with keywords (or without arguments) as the table type PyCFunction.
template <typename F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A new reference to None.
inline Ref none() { return Ref(Py_NewRef(Py_None)); }

// `str` object from UTF-8 text, invalid bytes replaced.
PyResult<Ref> str_from(std::string_view text);

}  // namespace zelkor::py
