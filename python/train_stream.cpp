// train_to_hf_iter and train_to_hf_parquet: texts pulled from Python in chunks; each chunk is
// counted on the call's pool with the interpreter lock released and added into one count map
// (saturating), so memory holds one chunk and the counts, never the corpus. Then the trainer
// is built from the counts, trained and exported.
#include <algorithm>
#include <filesystem>
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

// The pending Python exception, taken out of the interpreter, as "TypeName: message" (raised
// as ValueError in the end).
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

// "chunk_size must be >= 1" after the shared range checks.
PyResult<void> check_stream_args(const Args& args) {
  if (auto in_range = check_n_range(args); !in_range) return in_range;
  if (args["chunk_size"].u64 == 0) return fail("chunk_size must be >= 1");
  return {};
}

// The counting pool; a pool that cannot be built is a ValueError here, not a panic.
PyResult<std::unique_ptr<ThreadPool>> counting_pool(uint64_t num_workers) {
  try {
    return std::make_unique<ThreadPool>(counting_pool_threads(num_workers), "build rayon pool");
  } catch (const Fault& fault) {
    return fail("build rayon pool failed: " + fault.detail());
  }
}

// Trains on the counts and writes the directory.
PyResult<void> train_and_export(SeqCounts&& counts, uint64_t total_chars, const Args& args,
                                const char* empty_message) {
  if (counts.empty()) return fail(empty_message);
  auto trainer = engine::new_from_counts(std::move(counts), total_chars, config_from_args(args));
  if (!trainer) return std::unexpected(std::move(trainer.error()));
  return export_trained(*trainer, args["out_dir"].str);
}

// The new reference a Python call returned; when it failed, its exception as python_error().
PyResult<Ref> checked_as_error(PyObject* result) {
  if (result == nullptr) return std::unexpected(python_error());
  return Ref(result);
}

// The UTF-8 text of a str item; any other item, or a str that cannot be encoded, is an error
// carrying the Python exception.
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

// Pulls the texts of `texts` into the intake.
PyResult<void> pull_iterable(PyObject* texts, ChunkIntake& intake) {
  return for_each_item(texts, [&](PyObject* item) -> PyResult<bool> {
    auto text = item_text(item);
    if (!text) return std::unexpected(std::move(text.error()));
    return intake.feed(*text);
  });
}

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

// Pulls the texts of every record batch into the intake, None values skipped.
PyResult<void> pull_batches(PyObject* batches, ChunkIntake& intake) {
  return for_each_item(batches, [&](PyObject* batch) -> PyResult<bool> {
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

// pyarrow's dataset -> scanner -> to_batches() for `args`; pyarrow's exceptions pass unchanged.
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

// Counts the texts `pull` feeds into the intake on the call's counting pool, then trains and
// exports; `empty_message` when no text was kept.
template <typename Pull>
PyResult<void> count_and_train(const Args& args, Pull&& pull, const char* empty_message) {
  auto pool = counting_pool(args["num_workers"].u64);
  if (!pool) return std::unexpected(std::move(pool.error()));
  MpWorkerEnv env(args["multi_process"].flag);
  ChunkIntake intake(**pool, args["chunk_size"].u64, args["max_docs"].u64);
  if (auto pulled = pull(intake); !pulled) return pulled;
  return train_and_export(intake.finish(), intake.total_chars(), args, empty_message);
}

}  // namespace

PyObject* train_to_hf_iter(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("train_to_hf_iter", TRAIN_TO_HF_ITER_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    if (auto valid = check_stream_args(*parsed); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
    PyObject* texts = (*parsed)["texts"].object;
    auto pull = [&](ChunkIntake& intake) { return pull_iterable(texts, intake); };
    auto trained = count_and_train(*parsed, pull, "no training texts (empty iterator?)");
    if (!trained) return std::unexpected(std::move(trained.error()));
    return none();
  });
}

PyObject* train_to_hf_parquet(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("train_to_hf_parquet", TRAIN_TO_HF_PARQUET_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto batches = open_batches(*parsed);  // before the checks: pyarrow reports its own errors
    if (!batches) return batches;
    if (auto valid = check_stream_args(*parsed); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
    auto pull = [&](ChunkIntake& intake) { return pull_batches(batches->get(), intake); };
    auto trained = count_and_train(*parsed, pull, "no training texts read from parquet");
    if (!trained) return std::unexpected(std::move(trained.error()));
    return none();
  });
}

}  // namespace zelkor::py
