// Engine choice. The multi-process branches are not built yet and say so.
#include "engine/engine.hpp"

#include "core/log.hpp"

namespace zelkor::engine {

Result<void> build_vocab(Zelkor& trainer, std::span<const std::string> lines) {
  if (trainer.config.multi_process) {
    return fail("multi-process corpus preprocessing is not available in this build");
  }
  trainer.build_vocab(lines);
  return {};
}

Result<void> train(Zelkor& trainer) {
  if (trainer.config.multi_process) {
    log_at(2, "init", "multiprocess path: skip single-thread rebuild_global_stats");
    return fail("multi-process training is not available in this build");
  }
  trainer.rebuild_global_stats();
  trainer.train_single();
  return {};
}

Result<Zelkor> new_from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config) {
  Zelkor trainer = Zelkor::from_counts(std::move(counts), total_chars, std::move(config));
  if (auto trained = train(trainer); !trained) return std::unexpected(std::move(trained.error()));
  return trainer;
}

}  // namespace zelkor::engine
