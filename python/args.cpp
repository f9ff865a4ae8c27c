// Argument conversion.
#include "python/args.hpp"

#include <cstring>
#include <stdexcept>
#include <fmt/format.h>

namespace zelkor::py {
namespace {

const char* type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

// The pending exception again, with "argument '<name>': " in front of its message. Encoding
// errors (a lone surrogate) carry structured fields and pass unchanged.
std::unexpected<Failure> failure_for(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_UnicodeError)) return fail_pending();
  Ref exception(PyErr_GetRaisedException());
  Ref text(exception ? PyObject_Str(exception.get()) : nullptr);
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  PyObject* type =
      exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) : PyExc_SystemError;
  return fail_with(type,
                   fmt::format("argument '{}': {}", name, message ? message : "invalid value"));
}

PyResult<uint64_t> to_u64(PyObject* value, const char* name) {
  Ref index(PyNumber_Index(value));
  if (!index) return failure_for(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return failure_for(name);
  return v;
}

PyResult<bool> to_flag(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  const char* type = type_name(value);
  if (std::strcmp(type, "numpy.bool") == 0 || std::strcmp(type, "numpy.bool_") == 0) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return failure_for(name);
    return truth == 1;
  }
  return argument_type_error(name, fmt::format("'{}' object is not an instance of 'bool'", type));
}

PyResult<ArgValue> convert(PyObject* value, const ArgSpec& spec) {
  ArgValue out;
  switch (spec.kind) {
    case ArgKind::OptStr:
      if (value == Py_None) {
        out.is_none = true;
        return out;
      }
      [[fallthrough]];
    case ArgKind::Str:
    case ArgKind::Path: {
      auto text = to_utf8(value, spec.name);
      if (!text) return std::unexpected(std::move(text.error()));
      // The system calls would see the path cut at the NUL: another file than the one named.
      if (spec.kind == ArgKind::Path && text->find('\0') != std::string::npos) {
        return fail_with(PyExc_ValueError, "embedded null byte");
      }
      out.str = std::move(*text);
      return out;
    }
    case ArgKind::U64: {
      auto number = to_u64(value, spec.name);
      if (!number) return std::unexpected(std::move(number.error()));
      out.u64 = *number;
      return out;
    }
    case ArgKind::Bool: {
      auto flag = to_flag(value, spec.name);
      if (!flag) return std::unexpected(std::move(flag.error()));
      out.flag = *flag;
      return out;
    }
    case ArgKind::Object:
      out.object = value;
      return out;
  }
  throw std::logic_error("unknown argument kind");
}

ArgValue default_for(const ArgSpec& spec) {
  ArgValue out;
  out.u64 = spec.default_u64;
  out.flag = spec.default_bool;
  out.is_none = spec.kind == ArgKind::OptStr && spec.default_str == nullptr;
  if (spec.default_str != nullptr) out.str = spec.default_str;
  return out;
}

// The argument objects of a call in parameter order, nullptr for those not given.
PyResult<std::vector<PyObject*>> match_arguments(const char* function,
                                                 std::span<const ArgSpec> specs, PyObject* args,
                                                 PyObject* kwargs) {
  auto type_error = [](std::string text) { return fail_with(PyExc_TypeError, std::move(text)); };
  const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(given) > specs.size()) {
    return type_error(fmt::format("{}() takes at most {} positional arguments ({} given)",
                                  function, specs.size(), given));
  }
  std::vector<PyObject*> slots(specs.size(), nullptr);
  for (Py_ssize_t i = 0; i < given; ++i) slots[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
    const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (key_text == nullptr) {
      PyErr_Clear();
      return type_error(fmt::format("{}() keywords must be strings", function));
    }
    size_t k = 0;
    while (k < specs.size() && std::strcmp(specs[k].name, key_text) != 0) ++k;
    if (k == specs.size()) {
      return type_error(
          fmt::format("{}() got an unexpected keyword argument '{}'", function, key_text));
    }
    if (slots[k] != nullptr) {
      return type_error(
          fmt::format("{}() got multiple values for argument '{}'", function, key_text));
    }
    slots[k] = value;
  }
  for (size_t k = 0; k < specs.size(); ++k) {
    if (slots[k] == nullptr && specs[k].required) {
      return type_error(
          fmt::format("{}() missing required argument '{}'", function, specs[k].name));
    }
  }
  return slots;
}

}  // namespace

std::unexpected<Failure> argument_type_error(const char* name, std::string_view message) {
  return fail_with(PyExc_TypeError, fmt::format("argument '{}': {}", name, message));
}

PyResult<std::string> to_utf8(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    return argument_type_error(
        name, fmt::format("'{}' object is not an instance of 'str'", type_name(value)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return failure_for(name);
  return std::string(data, static_cast<size_t>(size));
}

const ArgValue& Args::operator[](std::string_view name) const {
  for (size_t k = 0; k < specs_.size(); ++k) {
    if (name == specs_[k].name) return values_[k];
  }
  throw std::logic_error("unknown parameter " + std::string(name));
}

PyResult<Args> parse_args(const char* function, std::span<const ArgSpec> specs, PyObject* args,
                          PyObject* kwargs) {
  auto slots = match_arguments(function, specs, args, kwargs);
  if (!slots) return std::unexpected(std::move(slots.error()));
  std::vector<ArgValue> values;
  values.reserve(specs.size());
  for (size_t k = 0; k < specs.size(); ++k) {
    if ((*slots)[k] == nullptr) {
      values.push_back(default_for(specs[k]));
      continue;
    }
    auto value = convert((*slots)[k], specs[k]);
    if (!value) return std::unexpected(std::move(value.error()));
    values.push_back(std::move(*value));
  }
  return Args(specs, std::move(values));
}

}  // namespace zelkor::py
