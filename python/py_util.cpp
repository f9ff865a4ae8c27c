// CPython boundary helpers.
#include "python/py_util.hpp"

namespace zelkor::py {

PyResult<Ref> str_from(std::string_view text) {
  return checked(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace zelkor::py
