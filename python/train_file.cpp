// train_to_hf: train from a UTF-8 text file (one sentence per line) and write the tokenizer
// directory. Holds the interpreter lock throughout.
#include "core/corpus_file.hpp"
#include "core/trainer.hpp"
#include "engine/engine.hpp"
#include "python/module_functions.hpp"
#include "python/signal_check.hpp"
#include "python/train_common.hpp"

namespace zelkor::py {
namespace {

PyResult<void> train_from_file(const Args& args) {
  SignalCheck signals;
  const std::string& corpus_file = args["corpus_file"].str;
  auto corpus = read_corpus_lines(corpus_file);
  if (!corpus) return std::unexpected(std::move(corpus.error()));
  if (corpus->lines.empty()) return fail("corpus is empty: " + corpus_file);

  Zelkor trainer;
  trainer.config = config_from_args(args);
  trainer.total_chars = corpus->total_chars;
  auto workers = python_worker_command(trainer.config);
  if (!workers) return std::unexpected(std::move(workers.error()));
  if (auto built = engine::build_vocab(trainer, corpus->lines, *workers); !built) return built;
  corpus->lines = {};
  if (auto trained = engine::train(trainer, *workers); !trained) return trained;
  return export_trained(trainer, args["out_dir"].str);
}

}  // namespace

PyObject* train_to_hf(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyResult<Ref> {
    auto parsed = parse_args("train_to_hf", TRAIN_TO_HF_ARGS, args, kwargs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto in_range = check_n_range(*parsed, false);
    if (!in_range) return std::unexpected(std::move(in_range.error()));
    MpWorkerEnv env((*parsed)["multi_process"].flag);
    auto trained = train_from_file(*parsed);
    if (!trained) return std::unexpected(std::move(trained.error()));
    return none();
  });
}

}  // namespace zelkor::py
