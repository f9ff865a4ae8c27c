// Texts out of Python objects.
#include "python/text_items.hpp"

#include <string>

namespace zelkor::py {

Failure python_error() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc != nullptr && PyObject_IsInstance(exc, PyExc_Exception) != 1) {
    PyErr_SetRaisedException(exc);  // a Ctrl-C stays a KeyboardInterrupt
    return Failure::pending();
  }
  std::string type = "Exception";
  std::string message = "<exception str() failed>";
  if (exc != nullptr) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__qualname__"));
    const char* type_utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (type_utf8 != nullptr) type = type_utf8;
    PyErr_Clear();
    Ref text(PyObject_Str(exc));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 != nullptr) message = utf8;
    PyErr_Clear();
    Py_DECREF(exc);
  }
  return Error(type + ": " + message);  // raised as ValueError
}

PyResult<Ref> checked_as_error(PyObject* result) {
  if (result == nullptr) return std::unexpected(python_error());
  return Ref(result);
}

PyResult<std::string_view> item_text(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str'", Py_TYPE(item)->tp_name);
    return std::unexpected(python_error());
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (data == nullptr) return std::unexpected(python_error());
  return std::string_view(data, static_cast<size_t>(size));
}

}  // namespace zelkor::py
