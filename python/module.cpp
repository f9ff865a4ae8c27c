// The extension module zelkor_ext. Initialisation adds, in this order, __version__, END_TOKEN,
// DpTokenizer, train_to_hf, train_to_hf_iter, train_to_hf_parquet and _run_worker, appending
// each name to __all__ first. The module lives once per process: a second initialisation in the
// same interpreter returns the first module object, and other interpreters are refused.
#include <csignal>
#include <stdexcept>

#include "core/unicode.hpp"
#include "multiproc/worker_loop.hpp"
#include "python/docstring.hpp"
#include "python/module_functions.hpp"
#include "python/train_common.hpp"

namespace zelkor::py {
namespace {

// The module's functions. Their docstrings open with signatures built from the parameter
// tables, so the table is built on first use, at module creation.
PyMethodDef* functions() {
  static PyMethodDef table[] = {
      {"train_to_hf", as_cfunction(train_to_hf), METH_VARARGS | METH_KEYWORDS,
       function_doc("train_to_hf", TRAIN_TO_HF_ARGS)},
      {"train_to_hf_iter", as_cfunction(train_to_hf_iter), METH_VARARGS | METH_KEYWORDS,
       function_doc("train_to_hf_iter", TRAIN_TO_HF_ITER_ARGS)},
      {"train_to_hf_parquet", as_cfunction(train_to_hf_parquet), METH_VARARGS | METH_KEYWORDS,
       function_doc("train_to_hf_parquet", TRAIN_TO_HF_PARQUET_ARGS)},
      {"_run_worker", as_cfunction(run_worker), METH_NOARGS,
       function_doc("_run_worker", {},
                    "worker 入口：供 multi-process 训练时子进程调用（不要在普通代码里直接用）")},
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "zelkor_ext",
    "",
    0,  // no per-module state; 0 (not -1) makes a re-import call the init function again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's attributes in the order of __all__.
constexpr const char* ATTRIBUTES[] = {"__version__",      "END_TOKEN",
                                      "DpTokenizer",      "train_to_hf",
                                      "train_to_hf_iter", "train_to_hf_parquet",
                                      "_run_worker"};

PyResult<Ref> new_function(PyObject* module, std::string_view name) {
  for (PyMethodDef* def = functions(); def->ml_name != nullptr; ++def) {
    if (def->ml_name != name) continue;
    auto module_name = checked(PyModule_GetNameObject(module));
    if (!module_name) return module_name;
    return checked(PyCFunction_NewEx(def, nullptr, module_name->get()));
  }
  throw std::logic_error("no module function " + std::string(name));
}

PyResult<Ref> new_attribute(PyObject* module, std::string_view name) {
  if (name == "__version__") return str_from(ZELKOR_VERSION);
  if (name == "END_TOKEN") return str_from(END_TOKEN);
  if (name == "DpTokenizer") return new_dp_tokenizer_type();
  return new_function(module, name);
}

// Appends `name` to __all__, then sets the attribute.
PyResult<void> add(PyObject* module, PyObject* all, const char* name) {
  auto value = new_attribute(module, name);
  if (!value) return std::unexpected(std::move(value.error()));
  auto py_name = str_from(name);
  if (!py_name) return std::unexpected(std::move(py_name.error()));
  if (PyList_Append(all, py_name->get()) < 0 ||
      PyModule_AddObjectRef(module, name, value->get()) < 0) {
    return fail_pending();
  }
  return {};
}

PyResult<Ref> create_module() {
  auto module = checked(PyModule_Create(&MODULE_DEF));
  if (!module) return module;
  auto all = checked(PyList_New(0));
  if (!all) return all;
  if (PyModule_AddObjectRef(module->get(), "__all__", all->get()) < 0) return fail_pending();
  for (const char* name : ATTRIBUTES) {
    if (auto added = add(module->get(), all->get(), name); !added) {
      return std::unexpected(std::move(added.error()));
    }
  }
  return module;
}

PyObject* FIRST_MODULE = nullptr;
int64_t FIRST_INTERPRETER = -1;

}  // namespace

// The worker loop runs with the interpreter lock held: no other Python thread runs in a worker.
PyObject* run_worker(PyObject*, PyObject*) {
  return guarded([]() -> PyResult<Ref> {
    // A Ctrl-C reaches the terminal's whole process group; the parent handles it and ends its
    // workers in order, so a worker leaves it alone instead of reporting it when the loop ends.
    PyOS_setsig(SIGINT, SIG_IGN);
    if (auto served = mp::worker_loop(); !served) return std::unexpected(served.error());
    return none();
  });
}

}  // namespace zelkor::py

PyMODINIT_FUNC PyInit_zelkor_ext() {
  using namespace zelkor::py;
  return guarded([]() -> PyResult<Ref> {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (FIRST_MODULE != nullptr) {
      if (interpreter != FIRST_INTERPRETER) {
        return fail_with(PyExc_ImportError,
                         "zelkor_ext can only be imported once per process, in one interpreter");
      }
      return Ref(Py_NewRef(FIRST_MODULE));
    }
    auto module = create_module();
    if (!module) return module;
    FIRST_MODULE = Py_NewRef(module->get());
    FIRST_INTERPRETER = interpreter;
    return module;
  });
}
