// CPython boundary helpers.
#include "python/py_util.hpp"

namespace zelkor::py {

PyObject* panic_exception() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "zelkor_ext.PanicException",
      "An unrecoverable fault inside zelkor_ext (for example a thread pool that could not be "
      "built).",
      PyExc_BaseException, nullptr);
  return type != nullptr ? type : PyExc_SystemError;
}

PyObject* raise_value_error(const Error& error) {
  Ref text = str_from(error.render());
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

Ref str_from(std::string_view text) {
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace zelkor::py
