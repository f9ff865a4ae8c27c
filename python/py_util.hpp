// Small helpers for the CPython boundary: an owning reference, a scope that releases the
// interpreter lock, the panic exception, and the one function that turns C++ failures into
// Python exceptions. Every module function runs its body through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "core/error.hpp"

namespace zelkor::py {

// An owned (strong) reference, released on destruction.
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
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the scope; no Python object may be touched inside.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The exception raised for unrecoverable faults; derives from BaseException.
PyObject* panic_exception();

// Raises ValueError with the error chain joined by ": ". Returns nullptr.
PyObject* raise_value_error(const Error& error);

// Thrown by code that has already set a Python exception (an argument conversion, a failed
// Python call); `guarded` returns nullptr for it.
struct PythonError {};

// Runs `body` (returning a new reference or nullptr with an exception set) and turns every C++
// exception into a Python one: Fault and other faults into the panic exception, allocation
// failure into MemoryError.
template <typename F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception(), e.what());
    return nullptr;
  }
}

// `str` object from UTF-8 text.
Ref str_from(std::string_view text);

}  // namespace zelkor::py
