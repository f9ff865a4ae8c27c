// The module's functions and class, as the module table registers them.
#pragma once

#include "python/py_util.hpp"

namespace zelkor::py {

PyObject* train_to_hf(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* train_to_hf_iter(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* train_to_hf_parquet(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* run_worker(PyObject* self, PyObject* unused);

// A newly created DpTokenizer type (called once, at module creation).
PyResult<Ref> new_dp_tokenizer_type();

}  // namespace zelkor::py
