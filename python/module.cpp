// The extension module zelkor_ext: single-phase initialisation adding __version__ and END_TOKEN
// (each also appended to __all__). Importing runs nothing else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/unicode.hpp"

namespace {

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "zelkor_ext",
    "Trains an n-gram merge subword vocabulary and encodes text into the fewest tokens.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` (a new reference, stolen) under `name` and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return false;
  }
  PyObject* py_name = PyUnicode_FromString(name);
  if (py_name == nullptr) return false;
  int rc = PyList_Append(all, py_name);
  Py_DECREF(py_name);
  return rc == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_zelkor_ext() {
  PyObject* module = PyModule_Create(&MODULE_DEF);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyModule_AddObject(module, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(module);
    return nullptr;
  }
  const std::string_view end = zelkor::END_TOKEN;
  if (!add_public(module, all, "__version__", PyUnicode_FromString("0.1.10")) ||
      !add_public(module, all, "END_TOKEN",
                  PyUnicode_FromStringAndSize(end.data(), static_cast<Py_ssize_t>(end.size())))) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
