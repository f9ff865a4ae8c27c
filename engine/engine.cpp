// Engine choice.
#include "engine/engine.hpp"

#include "core/interrupt.hpp"
#include "core/log.hpp"
#include "core/pool.hpp"
#include "multiproc/preprocess_mp.hpp"
#include "multiproc/train_mp.hpp"

namespace zelkor::engine {

mp::WorkerCommand self_as_worker() { return mp::worker_command("/proc/self/exe"); }

Result<void> build_vocab(Zelkor& trainer, std::span<const std::string> lines, const mp::WorkerCommand& workers) {
  if (trainer.config.multi_process) {
    DefaultPoolScope pool("build rayon pool for preprocess map");  // the preprocessing's label
    return mp::build_vocab_multiprocess(trainer, lines, workers);
  }
  trainer.build_vocab(lines);  // on a pool of its own
  return {};
}

Result<void> train(Zelkor& trainer, const mp::WorkerCommand& workers) {
  DefaultPoolScope pool("build pool");
  if (auto go_on = check_interrupt(); !go_on) return go_on;  // counting may have taken a while
  if (trainer.config.multi_process) {
    log_at(2, "init", "multiprocess path: skip single-thread rebuild_global_stats");
    return mp::train_multiprocess(trainer, workers);
  }
  trainer.rebuild_global_stats();
  if (auto go_on = check_interrupt(); !go_on) return go_on;
  return trainer.train_single();
}

Result<Zelkor> new_from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config,
                               const mp::WorkerCommand& workers) {
  Zelkor trainer = Zelkor::from_counts(std::move(counts), total_chars, std::move(config));
  if (auto trained = train(trainer, workers); !trained) return std::unexpected(std::move(trained.error()));
  return trainer;
}

}  // namespace zelkor::engine
