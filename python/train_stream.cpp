// train_to_hf_iter and train_to_hf_parquet: texts pulled from Python in chunks; each chunk is
// counted on the call's pool with the interpreter lock released and added into one count map
// (saturating), so memory holds one chunk and the counts, never the corpus. Then the trainer
// is built from the counts, trained and exported.
#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>

#include "core/corpus.hpp"
#include "core/pool.hpp"
#include "core/trainer.hpp"
#include "core/unicode.hpp"
#include "engine/engine.hpp"
#include "python/module_functions.hpp"
#include "python/train_common.hpp"

namespace zelkor::py {
namespace {

// The pending Python exception, taken out of the interpreter, as "TypeName: message".
Error python_error() {
  PyObject* exc = PyErr_GetRaisedException();
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
  return Error(type + ": " + message);
}

// Adds every count of `chunk` (consumed) into `global`, saturating at 2^32 - 1.
void merge_counts_into(SeqCounts& global, SeqCounts&& chunk) {
  for (auto it = chunk.begin(); it != chunk.end();) {
    auto node = chunk.extract(it++);
    uint32_t& slot = global.try_emplace(std::move(node.key()), 0u).first->second;
    slot = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{slot} + node.mapped(), UINT32_MAX));
  }
}

// The chunk loop: keeps non-blank texts, counts a chunk whenever it is full, stops at max_docs.
class ChunkIntake {
 public:
  ChunkIntake(ThreadPool& pool, uint64_t chunk_size, uint64_t max_docs)
      : pool_(pool), chunk_size_(chunk_size), max_docs_(max_docs) {
    chunk_.reserve(std::min<uint64_t>(chunk_size, 1 << 20));
  }

  // Takes one text (interpreter lock held); false once max_docs texts are kept.
  bool feed(std::string_view text) {
    if (trim_white_space(text).empty()) return true;
    uint64_t chars = utf8_count(text);
    total_chars_ = chars > UINT64_MAX - total_chars_ ? UINT64_MAX : total_chars_ + chars;
    chunk_.emplace_back(text);
    ++docs_;
    if (max_docs_ != 0 && docs_ >= max_docs_) return false;
    if (chunk_.size() >= chunk_size_) count_chunk();
    return true;
  }

  // Counts what is left; the counts and character total of everything kept.
  SeqCounts finish() {
    if (!chunk_.empty()) count_chunk();
    return std::move(counts_);
  }
  uint64_t total_chars() const { return total_chars_; }

 private:
  void count_chunk() {
    std::vector<std::string> texts = std::move(chunk_);
    chunk_.clear();
    SeqCounts counted;
    {
      GilRelease unlocked;
      counted = build_counts_chunk(pool_, texts);
    }
    merge_counts_into(counts_, std::move(counted));
  }

  ThreadPool& pool_;
  const uint64_t chunk_size_;
  const uint64_t max_docs_;
  std::vector<std::string> chunk_;
  SeqCounts counts_;
  uint64_t docs_ = 0;
  uint64_t total_chars_ = 0;
};

// Raises ValueError "chunk_size must be >= 1" after the shared range checks.
void check_stream_args(const Args& args) {
  check_n_range(args);
  if (args["chunk_size"].u64 == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be >= 1");
    throw PythonError{};
  }
}

// The counting pool; a pool that cannot be built is a ValueError here, not a panic.
std::unique_ptr<ThreadPool> counting_pool(uint64_t num_workers) {
  try {
    return std::make_unique<ThreadPool>(counting_pool_threads(num_workers), "build rayon pool");
  } catch (const Fault& fault) {
    PyErr_SetString(PyExc_ValueError, ("build rayon pool failed: " + fault.detail()).c_str());
    throw PythonError{};
  }
}

// Trains on the counts and writes the directory.
Result<void> train_and_export(SeqCounts&& counts, uint64_t total_chars, const Args& args,
                              const char* empty_message) {
  if (counts.empty()) return fail(empty_message);
  auto trainer = engine::new_from_counts(std::move(counts), total_chars, config_from_args(args));
  if (!trainer) return std::unexpected(std::move(trainer.error()));
  return export_trained(*trainer, args["out_dir"].str);
}

// The UTF-8 text of a str item; any other item, or a str that cannot be encoded, is an error
// carrying the Python exception.
Result<std::string_view> item_text(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str'", Py_TYPE(item)->tp_name);
    return std::unexpected(python_error());
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (data == nullptr) return std::unexpected(python_error());
  return std::string_view(data, static_cast<size_t>(size));
}

// Calls `take(item)` for every item of `iterable` until it returns false; an error (of `take`,
// of the iteration, or an iterable that is not one) carries the Python exception.
template <typename F>
Result<void> for_each_item(PyObject* iterable, F&& take) {
  Ref iterator(PyObject_GetIter(iterable));
  if (!iterator) return std::unexpected(python_error());
  while (Ref item{PyIter_Next(iterator.get())}) {
    Result<bool> more = take(item.get());
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
  }
  if (PyErr_Occurred()) return std::unexpected(python_error());
  return {};
}

// Pulls the texts of `texts` into the intake.
Result<void> pull_iterable(PyObject* texts, ChunkIntake& intake) {
  return for_each_item(texts, [&](PyObject* item) -> Result<bool> {
    auto text = item_text(item);
    if (!text) return std::unexpected(std::move(text.error()));
    return intake.feed(*text);
  });
}

// Calls obj.name(*args, **kwargs); nullptr with the exception set on failure.
Ref call_method(PyObject* obj, const char* name, PyObject* args, PyObject* kwargs) {
  Ref method(PyObject_GetAttrString(obj, name));
  if (!method) return Ref();
  return Ref(PyObject_Call(method.get(), args, kwargs));
}

// The texts of one record batch's column (None skipped), converted before any is fed.
Result<std::vector<std::string>> batch_texts(PyObject* batch) {
  Ref zero(Py_BuildValue("(i)", 0));
  Ref empty(PyTuple_New(0));
  if (!zero || !empty) return std::unexpected(python_error());
  Ref column = call_method(batch, "column", zero.get(), nullptr);
  if (!column) return std::unexpected(python_error());
  Ref values = call_method(column.get(), "to_pylist", empty.get(), nullptr);
  if (!values) return std::unexpected(python_error());
  if (PyUnicode_Check(values.get()) || !PySequence_Check(values.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(values.get())->tp_name);
    return std::unexpected(python_error());
  }
  Ref fast(PySequence_Fast(values.get(), "to_pylist() did not return a sequence"));
  if (!fast) return std::unexpected(python_error());
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
    if (item == Py_None) continue;
    auto text = item_text(item);
    if (!text) return std::unexpected(std::move(text.error()));
    out.emplace_back(*text);
  }
  return out;
}

// Pulls the texts of every record batch into the intake, None values skipped.
Result<void> pull_batches(PyObject* batches, ChunkIntake& intake) {
  return for_each_item(batches, [&](PyObject* batch) -> Result<bool> {
    auto texts = batch_texts(batch);
    if (!texts) return std::unexpected(std::move(texts.error()));
    for (const std::string& text : *texts) {
      if (!intake.feed(text)) return false;
    }
    return true;
  });
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
// Python list of path strings; nullptr with ValueError set when none or on a listing error.
Ref list_parquet_files(const std::string& dir) {
  auto value_error = [](const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return Ref();
  };
  std::error_code ec;
  std::filesystem::directory_iterator entries(dir, ec);
  if (ec) return value_error("read_dir failed: " + Error::io(ec.value()).render());
  Ref list(PyList_New(0));
  if (!list) return Ref();
  for (; entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
    std::error_code unreadable;  // an entry that cannot be looked at is not a regular file
    if (!entries->is_regular_file(unreadable) ||
        !has_parquet_extension(entries->path().filename().native())) {
      continue;
    }
    Ref text = str_from(entries->path().native());
    if (!text || PyList_Append(list.get(), text.get()) < 0) return Ref();
  }
  if (ec) return value_error("read_dir entry failed: " + Error::io(ec.value()).render());
  if (PyList_GET_SIZE(list.get()) == 0) {
    return value_error("no .parquet files found (recursive=false)");
  }
  return list;
}

// pyarrow's dataset -> scanner -> to_batches() for `args`; nullptr with the exception set.
Ref open_batches(const Args& args) {
  Ref module(PyImport_ImportModule("pyarrow.dataset"));
  if (!module) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "pyarrow is required for parquet: pip install pyarrow");
    return Ref();
  }
  Ref options(Py_BuildValue("{s:s}", "format", "parquet"));
  if (!options) return Ref();
  const std::string& path = args["parquet_path"].str;
  std::error_code ec;
  Ref source = !args["recursive"].flag && std::filesystem::is_directory(path, ec)
                   ? list_parquet_files(path)
                   : str_from(path);
  if (!source) return Ref();
  Ref dataset_fn(PyObject_GetAttrString(module.get(), "dataset"));
  if (!dataset_fn) return Ref();
  Ref source_args(PyTuple_Pack(1, source.get()));
  if (!source_args) return Ref();
  Ref dataset(PyObject_Call(dataset_fn.get(), source_args.get(), options.get()));
  if (!dataset) return Ref();
  const uint64_t batch_size = std::max<uint64_t>(args["batch_size"].u64, 1);
  Ref scan_kwargs(Py_BuildValue("{s:[s#],s:K,s:O}", "columns", args["text_column"].str.data(),
                                static_cast<Py_ssize_t>(args["text_column"].str.size()),
                                "batch_size", static_cast<unsigned long long>(batch_size),
                                "use_threads", Py_True));
  Ref empty(PyTuple_New(0));
  if (!scan_kwargs || !empty) return Ref();
  Ref scanner = call_method(dataset.get(), "scanner", empty.get(), scan_kwargs.get());
  if (!scanner) return Ref();
  return call_method(scanner.get(), "to_batches", empty.get(), nullptr);
}

}  // namespace

PyObject* train_to_hf_iter(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Args parsed = parse_args("train_to_hf_iter", TRAIN_TO_HF_ITER_ARGS, args, kwargs);
    check_stream_args(parsed);
    std::unique_ptr<ThreadPool> pool = counting_pool(parsed["num_workers"].u64);
    Result<void> result;
    {
      MpWorkerEnv env(parsed["multi_process"].flag);
      ChunkIntake intake(*pool, parsed["chunk_size"].u64, parsed["max_docs"].u64);
      result = pull_iterable(parsed["texts"].object, intake);
      if (result) {
        result = train_and_export(intake.finish(), intake.total_chars(), parsed,
                                  "no training texts (empty iterator?)");
      }
    }
    if (!result) return raise_value_error(result.error());
    Py_RETURN_NONE;
  });
}

PyObject* train_to_hf_parquet(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Args parsed = parse_args("train_to_hf_parquet", TRAIN_TO_HF_PARQUET_ARGS, args, kwargs);
    Ref batches = open_batches(parsed);
    if (!batches) return nullptr;
    check_stream_args(parsed);
    std::unique_ptr<ThreadPool> pool = counting_pool(parsed["num_workers"].u64);
    Result<void> result;
    {
      MpWorkerEnv env(parsed["multi_process"].flag);
      ChunkIntake intake(*pool, parsed["chunk_size"].u64, parsed["max_docs"].u64);
      result = pull_batches(batches.get(), intake);
      if (result) {
        result = train_and_export(intake.finish(), intake.total_chars(), parsed,
                                  "no training texts read from parquet");
      }
    }
    if (!result) return raise_value_error(result.error());
    Py_RETURN_NONE;
  });
}

}  // namespace zelkor::py
