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

namespace zelkor::engine {

// Counts corpus lines into the sequences and vocabulary of `trainer`, which holds none yet:
// in process, or on short-lived preprocessing workers.
Result<void> build_vocab(Zelkor& trainer, std::span<const std::string> lines);

// Trains `trainer`, whose sequences are counted: a full recount and train_single, or the
// multi-process driver (after the "init" line that says so).
Result<void> train(Zelkor& trainer);

// A trainer built from counted lines and trained by train().
Result<Zelkor> new_from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config);

}  // namespace zelkor::engine
