// Argument conversion for the module's functions: positional-or-keyword parameters described
// by a table, with the conversions every function shares. Failures are Python exceptions naming
// the argument (TypeError, OverflowError, or the conversion's own exception).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/failure.hpp"

namespace zelkor::py {

enum class ArgKind {
  Str,     // str only, held as UTF-8
  Path,    // a str naming a file: an embedded NUL is refused, as open() refuses it
  OptStr,  // None or str
  U64,     // anything with __index__, 0 to 2^64 - 1
  Bool,    // bool (or numpy's bool) only
  Object,  // any object, borrowed
};

struct ArgSpec {
  const char* name;
  ArgKind kind;
  bool required = false;
  uint64_t default_u64 = 0;
  bool default_bool = false;
  const char* default_str = nullptr;
};

struct ArgValue {
  std::string str;
  bool is_none = false;
  uint64_t u64 = 0;
  bool flag = false;
  PyObject* object = nullptr;  // borrowed from the call's arguments
};

// The converted arguments of one call, looked up by parameter name.
class Args {
 public:
  Args(std::span<const ArgSpec> specs, std::vector<ArgValue> values)
      : specs_(specs), values_(std::move(values)) {}
  // The value of parameter `name`, which must be in the table.
  const ArgValue& operator[](std::string_view name) const;

 private:
  std::span<const ArgSpec> specs_;
  std::vector<ArgValue> values_;
};

// Converts `args`/`kwargs` of a call of `function` by `specs`, defaults filled in.
PyResult<Args> parse_args(const char* function, std::span<const ArgSpec> specs, PyObject* args,
                          PyObject* kwargs);

// The UTF-8 text of a str argument `name`.
PyResult<std::string> to_utf8(PyObject* value, const char* name);

// TypeError "argument '<name>': <message>".
std::unexpected<Failure> argument_type_error(const char* name, std::string_view message);

}  // namespace zelkor::py
