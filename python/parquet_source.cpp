// The Parquet text source.
#include "python/parquet_source.hpp"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "python/py_util.hpp"
#include "python/text_items.hpp"

namespace zelkor::py {
namespace {

// The texts of one record batch's column (None skipped), converted before any is fed.
PyResult<std::vector<std::string>> batch_texts(PyObject* batch) {
  auto column = checked_as_error(PyObject_CallMethod(batch, "column", "i", 0));
  if (!column) return std::unexpected(std::move(column.error()));
  auto values = checked_as_error(PyObject_CallMethod(column->get(), "to_pylist", nullptr));
  if (!values) return std::unexpected(std::move(values.error()));
  if (PyUnicode_Check(values->get()) || !PySequence_Check(values->get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(values->get())->tp_name);
    return std::unexpected(python_error());
  }
  auto fast =
      checked_as_error(PySequence_Fast(values->get(), "to_pylist() did not return a sequence"));
  if (!fast) return std::unexpected(std::move(fast.error()));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast->get());
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(fast->get(), i);
    if (item == Py_None) continue;
    auto text = item_text(item);
    if (!text) return std::unexpected(std::move(text.error()));
    out.emplace_back(*text);
  }
  return out;
}

// ASCII-case-insensitive "parquet" extension (the part after the last "." that is not the
// name's first character).
bool has_parquet_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string_view ext = name.substr(dot + 1);
  constexpr std::string_view want = "parquet";
  return ext.size() == want.size() &&
         std::equal(ext.begin(), ext.end(), want.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

// The regular .parquet files directly in `dir` (links followed), in listing order, as a
// Python list of path strings; none is an error, as is a failed listing.
PyResult<Ref> list_parquet_files(const std::string& dir) {
  std::error_code ec;
  std::filesystem::directory_iterator entries(dir, ec);
  if (ec) return std::unexpected(Error::io(ec.value()).context("read_dir failed"));
  auto list = checked(PyList_New(0));
  if (!list) return list;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
    std::error_code unreadable;  // an entry that cannot be looked at is not a regular file
    if (!entries->is_regular_file(unreadable) ||
        !has_parquet_extension(entries->path().filename().native())) {
      continue;
    }
    auto text = str_from(entries->path().native());
    if (!text) return text;
    if (PyList_Append(list->get(), text->get()) < 0) return fail_pending();
  }
  if (ec) return std::unexpected(Error::io(ec.value()).context("read_dir entry failed"));
  if (PyList_GET_SIZE(list->get()) == 0) return fail("no .parquet files found (recursive=false)");
  return list;
}

}  // namespace

PyResult<Ref> open_batches(const Args& args) {
  Ref module(PyImport_ImportModule("pyarrow.dataset"));
  if (!module) {
    PyErr_Clear();
    return fail("pyarrow is required for parquet: pip install pyarrow");
  }
  auto options = checked(Py_BuildValue("{s:s}", "format", "parquet"));
  if (!options) return options;
  const std::string& path = args["parquet_path"].str;
  std::error_code ec;
  auto source = !args["recursive"].flag && std::filesystem::is_directory(path, ec)
                    ? list_parquet_files(path)
                    : str_from(path);
  if (!source) return source;
  auto dataset_fn = checked(PyObject_GetAttrString(module.get(), "dataset"));
  if (!dataset_fn) return dataset_fn;
  auto source_args = checked(PyTuple_Pack(1, source->get()));
  if (!source_args) return source_args;
  auto dataset = checked(PyObject_Call(dataset_fn->get(), source_args->get(), options->get()));
  if (!dataset) return dataset;
  const uint64_t batch_size = std::max<uint64_t>(args["batch_size"].u64, 1);
  auto scan_kwargs = checked(Py_BuildValue(
      "{s:[s#],s:K,s:O}", "columns", args["text_column"].str.data(),
      static_cast<Py_ssize_t>(args["text_column"].str.size()), "batch_size",
      static_cast<unsigned long long>(batch_size), "use_threads", Py_True));
  if (!scan_kwargs) return scan_kwargs;
  auto empty = checked(PyTuple_New(0));
  if (!empty) return empty;
  auto scanner_fn = checked(PyObject_GetAttrString(dataset->get(), "scanner"));
  if (!scanner_fn) return scanner_fn;
  auto scanner = checked(PyObject_Call(scanner_fn->get(), empty->get(), scan_kwargs->get()));
  if (!scanner) return scanner;
  return checked(PyObject_CallMethod(scanner->get(), "to_batches", nullptr));
}

PyResult<void> pull_batches(PyObject* batches, ChunkIntake& intake) {
  return for_each_item(batches, [&](PyObject* batch) -> PyResult<bool> {
    auto texts = batch_texts(batch);
    if (!texts) return std::unexpected(std::move(texts.error()));
    for (const std::string& text : *texts) {
      auto more = intake.feed(text);
      if (!more || !*more) return more;
    }
    return true;
  });
}

}  // namespace zelkor::py
