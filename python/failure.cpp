// Failures and their Python exceptions.
#include "python/failure.hpp"

#include "python/py_util.hpp"

namespace zelkor::py {

Failure::Failure(const Error& error) : Failure(PyExc_ValueError, error.render()) {
  if (error.is_interrupted() && PyErr_Occurred()) cause_ = Ref(PyErr_GetRaisedException());
}

Failure::Failure(PyObject* type, std::string message)
    : cause_(Typed{Ref(Py_NewRef(type)), std::move(message)}) {}

Failure Failure::pending() { return Failure(Ref(PyErr_GetRaisedException())); }

PyResult<Ref> checked(PyObject* result) {
  if (result == nullptr) return fail_pending();
  return Ref(result);
}

PyObject* raise(Failure failure) {
  if (auto* typed = std::get_if<Failure::Typed>(&failure.cause_)) {
    auto text = str_from(typed->message);
    if (!text) return raise(std::move(text.error()));
    PyErr_SetObject(typed->type.get(), text->get());
  } else {
    PyErr_SetRaisedException(std::get<Ref>(failure.cause_).release());
  }
  return nullptr;
}

PyObject* panic_exception() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "zelkor_ext.PanicException",
      "An unrecoverable fault inside zelkor_ext (for example a thread pool that could not be "
      "built).",
      PyExc_BaseException, nullptr);
  return type != nullptr ? type : PyExc_SystemError;
}

}  // namespace zelkor::py
