// The engine of a training call: the in-process core (thread pools, train_single) or, when the
// configuration asks for multi_process, the worker processes. Neither engine knows the other;
// this thin layer picks one, so dependencies keep pointing one way. Tested through the Python
// training suites (tests/python/test_train_*.py).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/corpus.hpp"
#include "core/error.hpp"
#include "core/trainer.hpp"
#include "multiproc/process_pool.hpp"

namespace zelkor::engine {

// The worker command of a C++ caller: this program itself, as a worker.
mp::WorkerCommand self_as_worker();

// Counts corpus lines into the sequences and vocabulary of `trainer`, which holds none yet: in
// process, or with multi_process on short-lived workers started by `workers` (symbol ids then
// follow byte order).
Result<void> build_vocab(Zelkor& trainer, std::span<const std::string> lines,
                         const mp::WorkerCommand& workers = self_as_worker());

// Trains `trainer`, whose sequences are counted: a full recount and train_single, or (after the
// "init" line that says so) the multi-process driver with workers started by `workers`. Asks
// to be interrupted (interrupt.hpp) first and between steps.
Result<void> train(Zelkor& trainer, const mp::WorkerCommand& workers = self_as_worker());

// A trainer built from counted lines and trained by train().
Result<Zelkor> new_from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config,
                               const mp::WorkerCommand& workers = self_as_worker());

}  // namespace zelkor::engine
