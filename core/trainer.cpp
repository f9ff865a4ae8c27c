// The trainer's operations: each runs a kernel over the trainer's fields.
#include "core/trainer.hpp"

#include <chrono>

#include "core/debug_fmt.hpp"
#include "core/entry_index.hpp"
#include "core/log.hpp"
#include "core/merge_step.hpp"
#include "core/stats_fold.hpp"
#include "core/pool.hpp"
#include "core/stats.hpp"

namespace zelkor {

GlobalStats Zelkor::compute_stats_full() const {
  const std::unique_ptr<ThreadPool> pool = per_call_pool(config.num_workers, "build pool");
  return run_on(pool.get(), [&] { return count_stats(entries, config.n_values); });
}

void Zelkor::rebuild_global_stats() {
  const auto start = std::chrono::steady_clock::now();
  log_at(2, "stats", "rebuild_global_stats start entries={} n_values={} num_workers={}",
         entries.size(), debug_list(config.n_values), config.num_workers);
  stats = compute_stats_full();
  log_at(2, "stats", "rebuild_global_stats done keys={} elapsed={:.2f}s", stats.size(),
         elapsed_seconds(start));
  if (config.use_heap && !config.recompute_each_step) {
    rebuild_heap();
  } else {
    heap.clear();
  }
}

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id) {
  const std::unique_ptr<ThreadPool> pool = per_call_pool(config.num_workers, "build pool");
  const CandidateFilter filter(config, interner);
  HeapOffers offers;
  if (config.use_heap) offers = HeapOffers{&heap, &filter, false};
  EntryIndex index(std::move(entries));
  apply_merge(parts, new_id, index, pool.get(), offers);
  entries = std::move(index).release();
}

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id, EntryIndex& index, ThreadPool* pool,
                         const HeapOffers& offers) {
  StatsFold fold(stats, offers);
  merge_step(parts, new_id, MergeStepConfig{config.n_values, pool}, index,
             config.recompute_each_step ? nullptr : &fold);
}

void Zelkor::push_candidate(const NgramKey& key) {
  heap.push(key, stats, CandidateFilter(config, interner));
}

void Zelkor::rebuild_heap() { heap.rebuild(stats, CandidateFilter(config, interner)); }

std::optional<std::pair<NgramKey, Stat>> Zelkor::pop_best_from_heap() {
  return heap.pop_best(stats, CandidateFilter(config, interner));
}

}  // namespace zelkor
