// What the three training functions share: the parameters every one of them takes, the
// TrainConfig they fill, the n-range checks, the MP_PY_WORKER guard and the final export.
#pragma once

#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/trainer.hpp"
#include "multiproc/process_pool.hpp"
#include "python/args.hpp"

namespace zelkor::py {

// Parameter tables in positional order.
extern const std::vector<ArgSpec> TRAIN_TO_HF_ARGS;
extern const std::vector<ArgSpec> TRAIN_TO_HF_ITER_ARGS;
extern const std::vector<ArgSpec> TRAIN_TO_HF_PARQUET_ARGS;

// The configuration from the shared keywords (n_values = n_min..n_max).
TrainConfig config_from_args(const Args& args);

// "n_min must be >= 2", "n_max must be >= n_min", then (streaming functions) "chunk_size must be
// >= 1", then our own "n_max must be <= 65536".
PyResult<void> check_n_range(const Args& args, bool with_chunk_size);

// MP_PY_WORKER for the scope of a training call: "1" while a multi-process call runs, removed
// otherwise, and the caller's value (or none) back when the scope ends, on every way out. Calls
// in several threads overlap (each releases the lock while counting), so one process-wide owner
// saves the value when the first call begins and restores it when the last one ends; meanwhile
// it is "1" while any of them is multi-process.
class MpWorkerEnv {
 public:
  explicit MpWorkerEnv(bool multi_process);
  MpWorkerEnv(const MpWorkerEnv&) = delete;
  MpWorkerEnv& operator=(const MpWorkerEnv&) = delete;
  ~MpWorkerEnv();

 private:
  const bool multi_process_;
};

// How this call starts its worker processes: the interpreter the user runs (sys.executable, not
// the process's executable, which inside a virtual environment cannot import the venv's
// modules), with this module's directory first on PYTHONPATH. Call after MpWorkerEnv is set.
// A single-process call starts none and looks at neither (an embedded interpreter may have no
// sys.executable): it gets an empty command.
PyResult<mp::WorkerCommand> python_worker_command(const TrainConfig& config);

// Writes the tokenizer directory from the trained vocabulary, unless a signal handler raised.
PyResult<void> export_trained(const Zelkor& trainer, const std::string& out_dir);

}  // namespace zelkor::py
