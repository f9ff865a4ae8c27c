// The binding's error convention: fallible code returns PyResult<T>, and raise() alone turns its
// Failure into a Python exception. guarded() runs each module function's body and also turns
// C++ exceptions into Python ones.
#pragma once

#include <expected>
#include <new>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/error.hpp"
#include "core/pool.hpp"
#include "python/ref.hpp"

namespace zelkor::py {

// Why a call of the binding failed.
class Failure {
 public:
  // A core error, raised as ValueError with the chain joined by ": ". Implicit, so core
  // Result<T> values convert to PyResult<T>. Error::interrupted() is the exception a signal
  // handler left pending (signal_check.hpp), taken as pending() does.
  Failure(const Error& error);
  // `type` (TypeError, OverflowError, ...) with `message`.
  Failure(PyObject* type, std::string message);
  // The exception a failed Python call left pending, taken out of the interpreter to be raised
  // again unchanged.
  static Failure pending();

 private:
  friend PyObject* raise(Failure failure);
  struct Typed {
    Ref type;
    std::string message;
  };
  explicit Failure(Ref exception) : cause_(std::move(exception)) {}
  std::variant<Typed, Ref> cause_;  // Ref: the taken exception
};

template <typename T>
using PyResult = std::expected<T, Failure>;

inline std::unexpected<Failure> fail_with(PyObject* type, std::string message) {
  return std::unexpected(Failure(type, std::move(message)));
}

inline std::unexpected<Failure> fail_pending() { return std::unexpected(Failure::pending()); }

// The new reference a Python C API call returned, or its pending exception when it returned
// nullptr.
PyResult<Ref> checked(PyObject* result);

// Sets the Python exception of `failure`. Returns nullptr, for the caller to return.
PyObject* raise(Failure failure);

// The exception raised for unrecoverable faults; derives from BaseException.
PyObject* panic_exception();

// Runs `body` (returning PyResult<Ref>) and returns its object as a new reference, or nullptr
// with the exception set: its Failure's, the panic exception for a Fault (or any other C++
// exception), MemoryError for an allocation failure.
template <typename F>
PyObject* guarded(F&& body) {
  prepare_thread();
  try {
    PyResult<Ref> result = body();
    if (!result) return raise(std::move(result.error()));
    return result->release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception(), e.what());  // allocates nothing on this side
    return nullptr;
  }
}

}  // namespace zelkor::py
