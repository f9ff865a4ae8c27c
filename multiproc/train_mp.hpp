// The multi-process merge loop: the trainer's sequences live in worker processes; the parent
// keeps the statistics, the heap and the vocabulary, selects each merge with the core's filter
// and order, broadcasts it, and brings the statistics up to date from the workers' bucket files
// (incremental) or by recounting from the workers, as the MP_* switches choose. Tested by
// tests/python/test_train_mp.py.
#pragma once

#include "core/error.hpp"
#include "core/trainer.hpp"
#include "multiproc/process_pool.hpp"

namespace zelkor::mp {

// Trains `trainer` (its sequences counted) with workers started by `command`; on success the
// sequences are back in the trainer and every worker has ended.
Result<void> train_multiprocess(Zelkor& trainer, const WorkerCommand& command);

}  // namespace zelkor::mp
