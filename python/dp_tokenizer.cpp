// The Python class DpTokenizer: construction from vocab.json, encode() with the interpreter
// lock held, encode_batch() with the lock released while the default pool encodes.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <optional>

#include "python/args.hpp"
#include "encoder/encoder.hpp"
#include "python/module_functions.hpp"

namespace zelkor::py {
namespace {

struct PyDpTokenizer {
  PyObject_HEAD
  DpTokenizer* impl;
};

const std::vector<ArgSpec> CONSTRUCTOR_ARGS = {{"vocab_file", ArgKind::Str, true},
                                               {"unk_token", ArgKind::OptStr}};
const std::vector<ArgSpec> ENCODE_ARGS = {{"text", ArgKind::Str, true}};
const std::vector<ArgSpec> ENCODE_BATCH_ARGS = {{"texts", ArgKind::Object, true}};

const DpTokenizer& impl_of(PyObject* self) { return *reinterpret_cast<PyDpTokenizer*>(self)->impl; }

Ref id_list(const std::vector<uint32_t>& ids) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) throw PythonError{};
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(ids[i]);
    if (item == nullptr) throw PythonError{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* dp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Args parsed = parse_args("DpTokenizer", CONSTRUCTOR_ARGS, args, kwargs);
    std::optional<std::string> unk;
    if (!parsed["unk_token"].is_none) unk = parsed["unk_token"].str;
    auto tokenizer = DpTokenizer::create(parsed["vocab_file"].str, unk);
    if (!tokenizer) return raise_value_error(tokenizer.error());
    auto impl = std::make_unique<DpTokenizer>(std::move(*tokenizer));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<PyDpTokenizer*>(self)->impl = impl.release();
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
  return guarded([&]() -> PyObject* {
    const Args parsed = parse_args("encode", ENCODE_ARGS, args, kwargs);
    return id_list(impl_of(self).encode(parsed["text"].str)).release();
  });
}

// The texts of `texts` as owned UTF-8 strings (a sequence of str, not a str itself).
std::vector<std::string> batch_texts(PyObject* texts) {
  if (PyUnicode_Check(texts)) argument_type_error("texts", "Can't extract `str` to `Vec`");
  if (!PySequence_Check(texts)) {
    argument_type_error("texts", std::string("'") + Py_TYPE(texts)->tp_name +
                                     "' object cannot be converted to 'Sequence'");
  }
  std::vector<std::string> out;
  Py_ssize_t size = PySequence_Size(texts);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(size));
  }
  Ref iterator(PyObject_GetIter(texts));
  if (!iterator) throw PythonError{};
  while (Ref item{PyIter_Next(iterator.get())}) out.push_back(to_utf8(item.get(), "texts"));
  if (PyErr_Occurred()) throw PythonError{};
  return out;
}

PyObject* dp_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Args parsed = parse_args("encode_batch", ENCODE_BATCH_ARGS, args, kwargs);
    const std::vector<std::string> texts = batch_texts(parsed["texts"].object);
    const DpTokenizer& tokenizer = impl_of(self);
    std::vector<std::vector<uint32_t>> ids(texts.size());
    {
      GilRelease unlocked;
      tbb::parallel_for(tbb::blocked_range<size_t>(0, texts.size()),
                        [&](const tbb::blocked_range<size_t>& range) {
                          for (size_t i = range.begin(); i != range.end(); ++i) {
                            ids[i] = tokenizer.encode(texts[i]);
                          }
                        });
    }
    Ref result(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!result) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), id_list(ids[i]).release());
    }
    return result.release();
  });
}

PyMethodDef METHODS[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dp_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, text)\n--\n\n"
     "返回最少 token 数的 token id 列表；词表中匹配不到的字符以未知 token 代替。"},
    {"encode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dp_encode_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_batch($self, texts)\n--\n\n"
     "批量版本：释放 GIL 并行编码，适合高吞吐场景。"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "DpTokenizer(vocab_file, unk_token=None)\n--\n\n"
                    "Encodes text into the fewest tokens of a trained vocabulary (vocab.json).")},
    {Py_tp_new, reinterpret_cast<void*>(dp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dp_dealloc)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {"zelkor_ext.DpTokenizer", sizeof(PyDpTokenizer), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS};

}  // namespace

PyTypeObject* dp_tokenizer_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&SPEC));
}

}  // namespace zelkor::py
