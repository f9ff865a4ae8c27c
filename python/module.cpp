// The extension module zelkor_ext. Initialisation adds, in this order, __version__, END_TOKEN,
// DpTokenizer, train_to_hf, train_to_hf_iter, train_to_hf_parquet and _run_worker, appending
// each name to __all__ first. The module lives once per process: a second initialisation in the
// same interpreter returns the first module object, and other interpreters are refused.
#include "core/unicode.hpp"
#include "python/module_functions.hpp"

namespace zelkor::py {
namespace {

template <typename F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef FUNCTIONS[] = {
    {"train_to_hf", as_cfunction(train_to_hf), METH_VARARGS | METH_KEYWORDS,
     "train_to_hf(corpus_file, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, "
     "max_token_chars=0, num_workers=0, multi_process=False, use_heap=False, n_min=2, "
     "forbid_punct_word_mix=False, forbid_punct_tokens=False, allow_space_punct_tokens=False, "
     "allow_abbrev_tokens=False, allow_hyphen_tokens=False, allow_word_final_punct_tokens=False, "
     "allow_apostrophe_tokens=False, allow_cross_word_punct_word_mix_tokens=False, "
     "cross_word_start_vocab=0, max_token_words=0, forbid_incomplete_cross_word=False)\n--\n\n"},
    {"train_to_hf_iter", as_cfunction(train_to_hf_iter), METH_VARARGS | METH_KEYWORDS,
     "train_to_hf_iter(texts, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, "
     "max_token_chars=0, num_workers=0, multi_process=False, use_heap=False, max_docs=0, "
     "chunk_size=4096, n_min=2, forbid_punct_word_mix=False, forbid_punct_tokens=False, "
     "allow_space_punct_tokens=False, allow_abbrev_tokens=False, allow_hyphen_tokens=False, "
     "allow_word_final_punct_tokens=False, allow_apostrophe_tokens=False, "
     "allow_cross_word_punct_word_mix_tokens=False, cross_word_start_vocab=0, "
     "max_token_words=0, forbid_incomplete_cross_word=False)\n--\n\n"},
    {"train_to_hf_parquet", as_cfunction(train_to_hf_parquet), METH_VARARGS | METH_KEYWORDS,
     "train_to_hf_parquet(parquet_path, out_dir, text_column=\"text\", max_docs=0, "
     "batch_size=8192, recursive=True, num_merges=50000, aim_token_num=20000, n_max=6, "
     "max_token_chars=0, num_workers=0, multi_process=False, use_heap=False, chunk_size=4096, "
     "n_min=2, forbid_punct_word_mix=False, forbid_punct_tokens=False, "
     "allow_space_punct_tokens=False, allow_abbrev_tokens=False, allow_hyphen_tokens=False, "
     "allow_word_final_punct_tokens=False, allow_apostrophe_tokens=False, "
     "allow_cross_word_punct_word_mix_tokens=False, cross_word_start_vocab=0, "
     "max_token_words=0, forbid_incomplete_cross_word=False)\n--\n\n"},
    {"_run_worker", as_cfunction(run_worker), METH_NOARGS,
     "_run_worker()\n--\n\n"
     "worker 入口：供 multi-process 训练时子进程调用（不要在普通代码里直接用）"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "zelkor_ext",
    "",
    0,  // no per-module state; 0 (not -1) makes a re-import call the init function again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to __all__, then sets the attribute (stealing `value`).
bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Ref owned(value);
  Ref py_name(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all, py_name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* function(PyObject* module, const char* name) {
  for (PyMethodDef* def = FUNCTIONS; def->ml_name != nullptr; ++def) {
    if (std::string_view(def->ml_name) != name) continue;
    Ref module_name(PyModule_GetNameObject(module));
    return module_name ? PyCFunction_NewEx(def, nullptr, module_name.get()) : nullptr;
  }
  return nullptr;
}

PyObject* create_module() {
  Ref module(PyModule_Create(&MODULE_DEF));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  const std::string_view end = END_TOKEN;
  PyObject* type = reinterpret_cast<PyObject*>(dp_tokenizer_type());
  PyObject* m = module.get();
  bool ok = add(m, all.get(), "__version__", PyUnicode_FromString("0.1.10")) &&
            add(m, all.get(), "END_TOKEN",
                PyUnicode_FromStringAndSize(end.data(), static_cast<Py_ssize_t>(end.size()))) &&
            add(m, all.get(), "DpTokenizer", type) &&
            add(m, all.get(), "train_to_hf", function(m, "train_to_hf")) &&
            add(m, all.get(), "train_to_hf_iter", function(m, "train_to_hf_iter")) &&
            add(m, all.get(), "train_to_hf_parquet", function(m, "train_to_hf_parquet")) &&
            add(m, all.get(), "_run_worker", function(m, "_run_worker"));
  return ok ? module.release() : nullptr;
}

PyObject* FIRST_MODULE = nullptr;
int64_t FIRST_INTERPRETER = -1;

}  // namespace

PyObject* run_worker(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    return raise_value_error(Error("the worker loop is not available in this build"));
  });
}

}  // namespace zelkor::py

PyMODINIT_FUNC PyInit_zelkor_ext() {
  using namespace zelkor::py;
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (FIRST_MODULE != nullptr) {
    if (interpreter != FIRST_INTERPRETER) {
      PyErr_SetString(PyExc_ImportError,
                      "zelkor_ext can only be imported once per process, in one interpreter");
      return nullptr;
    }
    return Py_NewRef(FIRST_MODULE);
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  FIRST_MODULE = Py_NewRef(module);
  FIRST_INTERPRETER = interpreter;
  return module;
}
