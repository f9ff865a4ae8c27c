// Shared parts of the training functions.
#include "python/train_common.hpp"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "core/env.hpp"
#include "core/interrupt.hpp"
#include "export/hf_export.hpp"

namespace zelkor::py {
namespace {

ArgSpec u64(const char* name, uint64_t value) { return {name, ArgKind::U64, false, value}; }
ArgSpec flag(const char* name) { return {name, ArgKind::Bool}; }
ArgSpec required(const char* name, ArgKind kind) { return {name, kind, true}; }

// The keywords after the corpus-specific ones, identical in all three functions.
std::vector<ArgSpec> filter_args() {
  return {u64("n_min", 2),
          flag("forbid_punct_word_mix"),
          flag("forbid_punct_tokens"),
          flag("allow_space_punct_tokens"),
          flag("allow_abbrev_tokens"),
          flag("allow_hyphen_tokens"),
          flag("allow_word_final_punct_tokens"),
          flag("allow_apostrophe_tokens"),
          flag("allow_cross_word_punct_word_mix_tokens"),
          u64("cross_word_start_vocab", 0),
          u64("max_token_words", 0),
          flag("forbid_incomplete_cross_word")};
}

std::vector<ArgSpec> concat(std::vector<ArgSpec> head, const std::vector<ArgSpec>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

std::vector<ArgSpec> limit_args() {
  return {u64("num_merges", 50000), u64("aim_token_num", 20000), u64("n_max", 6),
          u64("max_token_chars", 0), u64("num_workers", 0),      flag("multi_process"),
          flag("use_heap")};
}

// Sets `name` to `value`, or removes it when null; false when the environment refused.
bool put_env(const char* name, const std::string* value) {
  return (value != nullptr ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name)) == 0;
}

}  // namespace

const std::vector<ArgSpec> TRAIN_TO_HF_ARGS =
    concat(concat({required("corpus_file", ArgKind::Path), required("out_dir", ArgKind::Path)},
                  limit_args()),
           filter_args());

const std::vector<ArgSpec> TRAIN_TO_HF_ITER_ARGS = concat(
    concat(concat({required("texts", ArgKind::Object), required("out_dir", ArgKind::Path)},
                  limit_args()),
           {u64("max_docs", 0), u64("chunk_size", 4096)}),
    filter_args());

const std::vector<ArgSpec> TRAIN_TO_HF_PARQUET_ARGS = concat(
    concat(concat({required("parquet_path", ArgKind::Path), required("out_dir", ArgKind::Path),
                   {"text_column", ArgKind::Str, false, 0, false, "text"}, u64("max_docs", 0),
                   u64("batch_size", 8192), {"recursive", ArgKind::Bool, false, 0, true}},
                  limit_args()),
           {u64("chunk_size", 4096)}),
    filter_args());

TrainConfig config_from_args(const Args& args) {
  TrainConfig config;
  config.n_values.clear();
  for (uint64_t n = args["n_min"].u64; n <= args["n_max"].u64; ++n) {
    config.n_values.push_back(n);
  }
  config.num_merges = args["num_merges"].u64;
  config.aim_token_num = args["aim_token_num"].u64;
  config.max_token_chars = args["max_token_chars"].u64;
  config.cross_word_start_vocab = args["cross_word_start_vocab"].u64;
  config.max_token_words = args["max_token_words"].u64;
  config.num_workers = args["num_workers"].u64;
  config.forbid_punct_word_mix = args["forbid_punct_word_mix"].flag;
  config.forbid_punct_tokens = args["forbid_punct_tokens"].flag;
  config.allow_space_punct_tokens = args["allow_space_punct_tokens"].flag;
  config.allow_abbrev_tokens = args["allow_abbrev_tokens"].flag;
  config.allow_hyphen_tokens = args["allow_hyphen_tokens"].flag;
  config.allow_word_final_punct_tokens = args["allow_word_final_punct_tokens"].flag;
  config.allow_apostrophe_tokens = args["allow_apostrophe_tokens"].flag;
  config.allow_cross_word_punct_word_mix_tokens =
      args["allow_cross_word_punct_word_mix_tokens"].flag;
  config.forbid_incomplete_cross_word = args["forbid_incomplete_cross_word"].flag;
  config.recompute_each_step = false;
  config.use_heap = args["use_heap"].flag;
  config.multi_process = args["multi_process"].flag;
  return config;
}

// Longer n-grams than this are refused up front: the list of sizes alone would exhaust memory.
constexpr uint64_t MAX_N = 65536;

PyResult<void> check_n_range(const Args& args, bool with_chunk_size) {
  if (args["n_min"].u64 < 2) return fail("n_min must be >= 2");
  if (args["n_max"].u64 < args["n_min"].u64) return fail("n_max must be >= n_min");
  if (with_chunk_size && args["chunk_size"].u64 == 0) return fail("chunk_size must be >= 1");
  // Our own limit comes after the documented checks.
  if (args["n_max"].u64 > MAX_N) return fail("n_max must be <= 65536");
  return {};
}

PyResult<mp::WorkerCommand> python_worker_command(const TrainConfig& config) {
  if (!config.multi_process) return mp::WorkerCommand{};
  PyObject* executable = PySys_GetObject("executable");  // borrowed
  if (executable == nullptr || !PyUnicode_Check(executable) || PyUnicode_GetLength(executable) == 0) {
    return fail("cannot start worker processes: sys.executable is not set");
  }
  const char* path = PyUnicode_AsUTF8(executable);
  if (path == nullptr) return fail_pending();
  mp::WorkerCommand command = mp::worker_command(path);
  PyObject* module = PyImport_AddModule("zelkor_ext");  // borrowed
  auto file = checked(module != nullptr ? PyObject_GetAttrString(module, "__file__") : nullptr);
  if (!file) return std::unexpected(std::move(file.error()));
  const char* module_path = PyUnicode_Check(file->get()) ? PyUnicode_AsUTF8(file->get()) : nullptr;
  if (module_path == nullptr) return fail("cannot start worker processes: zelkor_ext.__file__ is not a path");
  std::string pythonpath = std::filesystem::path(module_path).parent_path().string();
  if (auto inherited = env_var("PYTHONPATH"); inherited && !inherited->empty()) pythonpath += ":" + *inherited;
  command.env.emplace_back("PYTHONPATH", pythonpath);
  return command;
}

namespace {

// The owner of MP_PY_WORKER while training calls run.
struct WorkerVarOwner {
  std::mutex mutex;
  uint64_t calls = 0;
  uint64_t multi_process_calls = 0;
  std::optional<std::string> saved;  // the caller's value, taken when the first call began

  static WorkerVarOwner& get() {
    static WorkerVarOwner owner;
    return owner;
  }
};

const std::string ONE = "1";

}  // namespace

MpWorkerEnv::MpWorkerEnv(bool multi_process) : multi_process_(multi_process) {
  WorkerVarOwner& owner = WorkerVarOwner::get();
  std::lock_guard lock(owner.mutex);
  if (owner.calls == 0) owner.saved = env_var("MP_PY_WORKER");
  const uint64_t multi = owner.multi_process_calls + (multi_process ? 1 : 0);
  // A Fault leaves the counts as they were.
  if (!put_env("MP_PY_WORKER", multi != 0 ? &ONE : nullptr)) throw Fault("set environment variable MP_PY_WORKER");
  ++owner.calls;
  owner.multi_process_calls = multi;
}

MpWorkerEnv::~MpWorkerEnv() {
  WorkerVarOwner& owner = WorkerVarOwner::get();
  std::lock_guard lock(owner.mutex);
  --owner.calls;
  if (multi_process_) --owner.multi_process_calls;
  const std::string* value = owner.calls == 0                ? (owner.saved ? &*owner.saved : nullptr)
                             : owner.multi_process_calls != 0 ? &ONE
                                                              : nullptr;
  put_env("MP_PY_WORKER", value);  // a destructor must not throw: a failure is ignored here
}

PyResult<void> export_trained(const Zelkor& trainer, const std::string& out_dir) {
  if (auto go_on = check_interrupt_now(); !go_on) return std::unexpected(Failure(go_on.error()));
  auto ids = hf_export::export_from_trained(trainer.interner.id_to_token, out_dir);
  if (!ids) return std::unexpected(std::move(ids.error()));
  return {};
}

}  // namespace zelkor::py
