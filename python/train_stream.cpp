// train_to_hf_iter and train_to_hf_parquet: texts pulled from Python in chunks and counted
// (chunk_intake.hpp); then the trainer is built from the counts, trained and exported.
#include <memory>

#include "core/pool.hpp"
#include "engine/engine.hpp"
#include "python/chunk_intake.hpp"
#include "python/module_functions.hpp"
#include "python/parquet_source.hpp"
#include "python/signal_check.hpp"
#include "python/text_items.hpp"
#include "python/train_common.hpp"

namespace zelkor::py {
namespace {

// "chunk_size must be >= 1" after the shared range checks.

// The counting pool; a pool that cannot be built is a ValueError here, not a panic.
PyResult<std::unique_ptr<ThreadPool>> counting_pool(uint64_t num_workers) {
  try {
    return std::make_unique<ThreadPool>(counting_pool_threads(num_workers), "build rayon pool");
  } catch (const Fault& fault) {
    return fail("build rayon pool failed: " + fault.detail());
  }
}

// Trains on the counts and writes the directory.
PyResult<void> train_and_export(SeqCounts&& counts, uint64_t total_chars, const Args& args,
                                const char* empty_message) {
  if (counts.empty()) return fail(empty_message);
  TrainConfig config = config_from_args(args);
  auto workers = python_worker_command(config);
  if (!workers) return std::unexpected(std::move(workers.error()));
  auto trainer = engine::new_from_counts(std::move(counts), total_chars, std::move(config), *workers);
  if (!trainer) return std::unexpected(std::move(trainer.error()));
  return export_trained(*trainer, args["out_dir"].str);
}

// Pulls the texts of `texts` into the intake.
PyResult<void> pull_iterable(PyObject* texts, ChunkIntake& intake) {
  return for_each_item(texts, [&](PyObject* item) -> PyResult<bool> {
    auto text = item_text(item);
    if (!text) return std::unexpected(std::move(text.error()));
    return intake.feed(*text);
  });
}

// Counts the texts `pull` feeds into the intake on the call's counting pool, then trains and
// exports; `empty_message` when no text was kept.
template <typename Pull>
PyResult<void> count_and_train(const Args& args, Pull&& pull, const char* empty_message) {
  auto pool = counting_pool(args["num_workers"].u64);
  if (!pool) return std::unexpected(std::move(pool.error()));
  MpWorkerEnv env(args["multi_process"].flag);
  SignalCheck signals;
  ChunkIntake intake(**pool, args["chunk_size"].u64, args["max_docs"].u64);
  if (auto pulled = pull(intake); !pulled) return pulled;
  return train_and_export(intake.finish(), intake.total_chars(), args, empty_message);
}

}  // namespace

PyObject* train_to_hf_iter(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("train_to_hf_iter", TRAIN_TO_HF_ITER_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    if (auto valid = check_n_range(*parsed, true); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
    PyObject* texts = (*parsed)["texts"].object;
    auto pull = [&](ChunkIntake& intake) { return pull_iterable(texts, intake); };
    auto trained = count_and_train(*parsed, pull, "no training texts (empty iterator?)");
    if (!trained) return std::unexpected(std::move(trained.error()));
    return none();
  });
}

PyObject* train_to_hf_parquet(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("train_to_hf_parquet", TRAIN_TO_HF_PARQUET_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto batches = open_batches(*parsed);  // before the checks: pyarrow reports its own errors
    if (!batches) return batches;
    if (auto valid = check_n_range(*parsed, true); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
    auto pull = [&](ChunkIntake& intake) { return pull_batches(batches->get(), intake); };
    auto trained = count_and_train(*parsed, pull, "no training texts read from parquet");
    if (!trained) return std::unexpected(std::move(trained.error()));
    return none();
  });
}

}  // namespace zelkor::py
