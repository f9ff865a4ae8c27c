// Texts out of Python objects: str items as UTF-8, iteration with a callback, and the exception
// of a failed Python call as the error "TypeName: message" (how the training functions report
// exceptions raised by the texts they pull).
#pragma once

#include <string_view>

#include "python/failure.hpp"

namespace zelkor::py {

// The pending Python exception, taken out of the interpreter, as the error "TypeName: message";
// one that is not an Exception (KeyboardInterrupt, SystemExit, GeneratorExit) passes unchanged.
Failure python_error();

// The new reference a Python call returned; when it failed, its exception as python_error().
PyResult<Ref> checked_as_error(PyObject* result);

// The UTF-8 text of a str item (owned by the item); any other item, or a str that cannot be
// encoded, is an error carrying the Python exception.
PyResult<std::string_view> item_text(PyObject* item);

// Calls `take(item)` for every item of `iterable` until it returns false; an error (of `take`,
// of the iteration, or an iterable that is not one) carries the Python exception.
template <typename F>
PyResult<void> for_each_item(PyObject* iterable, F&& take) {
  auto iterator = checked_as_error(PyObject_GetIter(iterable));
  if (!iterator) return std::unexpected(std::move(iterator.error()));
  while (Ref item{PyIter_Next(iterator->get())}) {
    PyResult<bool> more = take(item.get());
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
  }
  if (PyErr_Occurred()) return std::unexpected(python_error());
  return {};
}

}  // namespace zelkor::py
