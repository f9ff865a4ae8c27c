// The Python class DpTokenizer: construction from vocab.json, encode() with the interpreter
// lock held, encode_batch() with the lock released while the default pool encodes.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <optional>

#include "core/pool.hpp"
#include "encoder/encoder.hpp"
#include "python/args.hpp"
#include "python/docstring.hpp"
#include "python/module_functions.hpp"

namespace zelkor::py {
namespace {

struct PyDpTokenizer {
  PyObject_HEAD
  DpTokenizer* impl;
};

const std::vector<ArgSpec> CONSTRUCTOR_ARGS = {{"vocab_file", ArgKind::Path, true},
                                               {"unk_token", ArgKind::OptStr}};
const std::vector<ArgSpec> ENCODE_ARGS = {{"text", ArgKind::Str, true}};
const std::vector<ArgSpec> ENCODE_BATCH_ARGS = {{"texts", ArgKind::Object, true}};

// The most texts reserved up front from a batch's __len__.
constexpr size_t MAX_RESERVED_TEXTS = size_t{1} << 16;

const DpTokenizer& impl_of(PyObject* self) { return *reinterpret_cast<PyDpTokenizer*>(self)->impl; }

PyResult<Ref> id_list(const std::vector<uint32_t>& ids) {
  auto list = checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return list;
  for (size_t i = 0; i < ids.size(); ++i) {
    auto item = checked(PyLong_FromUnsignedLong(ids[i]));
    if (!item) return item;
    PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
  }
  return list;
}

PyObject* dp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("DpTokenizer", CONSTRUCTOR_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    std::optional<std::string> unk;
    if (!(*parsed)["unk_token"].is_none) unk = (*parsed)["unk_token"].str;
    auto tokenizer = DpTokenizer::create((*parsed)["vocab_file"].str, unk);
    if (!tokenizer) return std::unexpected(std::move(tokenizer.error()));
    auto impl = std::make_unique<DpTokenizer>(std::move(*tokenizer));
    auto self = checked(type->tp_alloc(type, 0));
    if (self) reinterpret_cast<PyDpTokenizer*>(self->get())->impl = impl.release();
    return self;
  });
}

void dp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyDpTokenizer*>(self)->impl;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* dp_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("encode", ENCODE_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return id_list(impl_of(self).encode((*parsed)["text"].str));
  });
}

// The texts of `texts` as owned UTF-8 strings (a sequence of str, not a str itself).
PyResult<std::vector<std::string>> batch_texts(PyObject* texts) {
  if (PyUnicode_Check(texts)) return argument_type_error("texts", "Can't extract `str` to `Vec`");
  if (!PySequence_Check(texts)) {
    return argument_type_error("texts", std::string("'") + Py_TYPE(texts)->tp_name +
                                            "' object cannot be converted to 'Sequence'");
  }
  std::vector<std::string> out;
  // __len__ is only a hint (it may lie): reserve no more than a modest batch, grow by what arrives.
  Py_ssize_t size = PySequence_Size(texts);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(std::min<size_t>(static_cast<size_t>(size), MAX_RESERVED_TEXTS));
  }
  auto iterator = checked(PyObject_GetIter(texts));
  if (!iterator) return std::unexpected(std::move(iterator.error()));
  while (Ref item{PyIter_Next(iterator->get())}) {
    auto text = to_utf8(item.get(), "texts");
    if (!text) return std::unexpected(std::move(text.error()));
    out.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) return fail_pending();
  return out;
}

PyObject* dp_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("encode_batch", ENCODE_BATCH_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto texts = batch_texts((*parsed)["texts"].object);
    if (!texts) return std::unexpected(std::move(texts.error()));
    const DpTokenizer& tokenizer = impl_of(self);
    std::vector<std::vector<uint32_t>> ids(texts->size());
    {
      DefaultPoolScope pool("build pool");
      GilRelease unlocked;
      tbb::parallel_for(tbb::blocked_range<size_t>(0, texts->size()),
                        [&](const tbb::blocked_range<size_t>& range) {
                          for (size_t i = range.begin(); i != range.end(); ++i) {
                            ids[i] = tokenizer.encode((*texts)[i]);
                          }
                        });
    }
    auto result = checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!result) return result;
    for (size_t i = 0; i < ids.size(); ++i) {
      auto list = id_list(ids[i]);
      if (!list) return list;
      PyList_SET_ITEM(result->get(), static_cast<Py_ssize_t>(i), list->release());
    }
    return result;
  });
}

}  // namespace

PyResult<Ref> new_dp_tokenizer_type() {
  static PyMethodDef methods[] = {
      {"encode", as_cfunction(dp_encode), METH_VARARGS | METH_KEYWORDS,
       method_doc("encode", ENCODE_ARGS,
                  "返回最少 token 数的 token id 列表；词表中匹配不到的字符以未知 token 代替。")},
      {"encode_batch", as_cfunction(dp_encode_batch), METH_VARARGS | METH_KEYWORDS,
       method_doc("encode_batch", ENCODE_BATCH_ARGS, "批量版本：释放 GIL 并行编码，适合高吞吐场景。")},
      {nullptr, nullptr, 0, nullptr},
  };
  static const char* const doc =
      function_doc("DpTokenizer", CONSTRUCTOR_ARGS,
                   "Encodes text into the fewest tokens of a trained vocabulary (vocab.json).");
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(dp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dp_dealloc)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"zelkor_ext.DpTokenizer", sizeof(PyDpTokenizer), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return checked(PyType_FromSpec(&spec));
}

}  // namespace zelkor::py
