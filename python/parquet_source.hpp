// Parquet files as a text source, read through pyarrow's dataset scanner: the record batches of
// one column, their str values fed into a ChunkIntake (None skipped).
#pragma once

#include "python/args.hpp"
#include "python/chunk_intake.hpp"
#include "python/failure.hpp"

namespace zelkor::py {

// pyarrow's dataset -> scanner -> to_batches() for the parquet_path, text_column, batch_size and
// recursive arguments. A missing pyarrow is "pyarrow is required for parquet: pip install
// pyarrow"; pyarrow's own exceptions pass unchanged.
PyResult<Ref> open_batches(const Args& args);

// Pulls the texts of every record batch of `batches` into the intake until it is full.
PyResult<void> pull_batches(PyObject* batches, ChunkIntake& intake);

}  // namespace zelkor::py
