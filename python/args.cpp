// Argument conversion.
#include "python/args.hpp"

#include <cstring>
#include <stdexcept>
#include <fmt/format.h>

namespace zelkor::py {
namespace {

const char* type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

// Re-raises the pending exception with "argument '<name>': " in front of its message. Encoding
// errors (a lone surrogate) carry structured fields and pass unchanged.
[[noreturn]] void reraise_for(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PythonError{};
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref text(value ? PyObject_Str(value) : nullptr);
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  std::string full = fmt::format("argument '{}': {}", name, message ? message : "invalid value");
  PyErr_Clear();
  PyErr_SetString(type, full.c_str());
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  throw PythonError{};
}

ArgValue convert(PyObject* value, const ArgSpec& spec) {
  ArgValue out;
  switch (spec.kind) {
    case ArgKind::OptStr:
      if (value == Py_None) {
        out.is_none = true;
        break;
      }
      [[fallthrough]];
    case ArgKind::Str:
      out.str = to_utf8(value, spec.name);
      break;
    case ArgKind::U64:
      out.u64 = to_u64(value, spec.name);
      break;
    case ArgKind::Bool:
      out.flag = to_flag(value, spec.name);
      break;
    case ArgKind::Object:
      out.object = value;
      break;
  }
  return out;
}

ArgValue default_for(const ArgSpec& spec) {
  ArgValue out;
  out.u64 = spec.default_u64;
  out.flag = spec.default_bool;
  out.is_none = spec.kind == ArgKind::OptStr && spec.default_str == nullptr;
  if (spec.default_str != nullptr) out.str = spec.default_str;
  return out;
}

}  // namespace

void argument_type_error(const char* name, const std::string& message) {
  raise(PyExc_TypeError, fmt::format("argument '{}': {}", name, message));
}

std::string to_utf8(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    argument_type_error(name, fmt::format("'{}' object is not an instance of 'str'", type_name(value)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) reraise_for(name);
  return std::string(data, static_cast<size_t>(size));
}

uint64_t to_u64(PyObject* value, const char* name) {
  Ref index(PyNumber_Index(value));
  if (!index) reraise_for(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for(name);
  return v;
}

bool to_flag(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  const char* type = type_name(value);
  if (std::strcmp(type, "numpy.bool") == 0 || std::strcmp(type, "numpy.bool_") == 0) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) reraise_for(name);
    return truth == 1;
  }
  argument_type_error(name, fmt::format("'{}' object is not an instance of 'bool'", type));
}

const ArgValue& Args::operator[](std::string_view name) const {
  for (size_t k = 0; k < specs_.size(); ++k) {
    if (name == specs_[k].name) return values_[k];
  }
  throw std::logic_error("unknown parameter " + std::string(name));
}

Args parse_args(const char* function, std::span<const ArgSpec> specs, PyObject* args,
                PyObject* kwargs) {
  const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(given) > specs.size()) {
    raise(PyExc_TypeError, fmt::format("{}() takes at most {} positional arguments ({} given)",
                                       function, specs.size(), given));
  }
  std::vector<PyObject*> slots(specs.size(), nullptr);
  for (Py_ssize_t i = 0; i < given; ++i) slots[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (key_text == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, fmt::format("{}() keywords must be strings", function));
      }
      size_t k = 0;
      while (k < specs.size() && std::strcmp(specs[k].name, key_text) != 0) ++k;
      if (k == specs.size()) {
        raise(PyExc_TypeError,
              fmt::format("{}() got an unexpected keyword argument '{}'", function, key_text));
      }
      if (slots[k] != nullptr) {
        raise(PyExc_TypeError,
              fmt::format("{}() got multiple values for argument '{}'", function, key_text));
      }
      slots[k] = value;
    }
  }
  for (size_t k = 0; k < specs.size(); ++k) {
    if (slots[k] == nullptr && specs[k].required) {
      raise(PyExc_TypeError,
            fmt::format("{}() missing required argument '{}'", function, specs[k].name));
    }
  }
  std::vector<ArgValue> values;
  values.reserve(specs.size());
  for (size_t k = 0; k < specs.size(); ++k) {
    values.push_back(slots[k] == nullptr ? default_for(specs[k]) : convert(slots[k], specs[k]));
  }
  return Args(specs, std::move(values));
}

}  // namespace zelkor::py
