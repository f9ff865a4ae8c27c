// The multi-process driver. Incremental mode folds the old and new records of the buckets some
// worker marked, a batch of buckets at a time; a step whose files hold no record changed nothing
// (a no-op merge): the statistics are recounted and training goes on. The recount modes select
// from a fresh count at every step.
#include "multiproc/train_mp.hpp"

#include <chrono>

#include "core/ceil_div.hpp"
#include "core/debug_fmt.hpp"
#include "core/env.hpp"
#include "core/interrupt.hpp"
#include "core/log.hpp"
#include "core/select.hpp"
#include "core/stats.hpp"
#include "multiproc/bucket_count.hpp"
#include "multiproc/bucket_readers.hpp"
#include "multiproc/diff_fold.hpp"

namespace zelkor::mp {
namespace {

using Clock = std::chrono::steady_clock;

struct Modes {
  bool force_incremental = false;
  bool keep_global_stats = true;
  bool use_incremental = true;
  bool use_heap = false;
  // Incremental scan mode selects through a heap too, which returns exactly the scan's choice:
  // it is offered every key whose score rose and the merged key, and rebuilt with every recount
  // and when multi-word keys become admissible. The Part's heap stays empty in logs.
  bool scan_by_heap = false;
  uint64_t recomp_every = 0;
};

Modes read_modes(const TrainConfig& config) {
  Modes m;
  m.force_incremental = env_is_set("MP_FORCE_INCREMENTAL");
  const bool full_recompute = env_is_set("MP_FULL_RECOMPUTE") || env_is_set("MP_NO_INCREMENTAL");
  m.use_heap = env_is_set("MP_USE_HEAP");
  if (!m.force_incremental) m.keep_global_stats = !env_is_set("MP_NO_DIFF") && !env_is_set("MP_LOW_MEM");
  m.use_incremental = !config.recompute_each_step && (m.force_incremental || !full_recompute) &&
                      m.keep_global_stats;
  m.scan_by_heap = m.use_incremental && !m.use_heap;
  return m;
}

GlobalStats as_global(StatsMap&& map) {
  GlobalStats out;
  merge_stats_into(out, std::move(map));
  return out;
}

class Driver {
 public:
  Driver(Zelkor& t, ProcessPool& pool, const Modes& modes) : t_(t), pool_(pool), modes_(modes) {}

  // A recount of the whole statistics from the workers.
  Result<GlobalStats> recount() {
    auto stats = pool_.compute_stats();
    if (!stats) return std::unexpected(stats.error());
    return as_global(std::move(*stats));
  }

  void reset_heap() {
    if (modes_.use_heap || modes_.scan_by_heap) {
      t_.rebuild_heap();
    } else {
      t_.heap.clear();
    }
  }

  // The bucket list of a step: every bucket some worker marked, or all without every manifest.
  static std::vector<uint64_t> marked_buckets(const StepDir& dir, uint64_t buckets,
                                              std::vector<std::optional<DiffManifest>>& manifests) {
    std::vector<uint8_t> any(ceil_div(buckets, 8), 0);
    for (const std::string& worker_dir : dir.worker_dirs()) {
      manifests.push_back(read_diff_manifest(worker_dir, buckets));
      if (!manifests.back()) {
        manifests.clear();
        std::vector<uint64_t> all(buckets);
        for (uint64_t b = 0; b < buckets; ++b) all[b] = b;
        return all;
      }
      for (size_t j = 0; j < any.size(); ++j) any[j] |= manifests.back()->old_bits[j] | manifests.back()->new_bits[j];
    }
    return diff_bits_to_indices(any, buckets);
  }

  // An occurrence of a k-part key loses the n + k - 1 windows of each length n that overlap it and
  // gains the n that overlap the merged token.
  uint64_t step_buckets(const NgramKey& key, uint32_t freq) const {
    uint64_t per_occurrence = 0;
    for (uint64_t n : t_.config.n_values) per_occurrence += 2 * n + key.size() - 1;
    return step_bucket_count(pool_.size(), uint64_t{freq} * per_occurrence);
  }

  // A step whose bucket files cannot be read ends the call. The workers end first, so that the
  // step directory (removed on return) can be listed even when the failure was a lack of file
  // descriptors: their pipes free some.
  std::unexpected<Error> unreadable_step(Error error) {
    pool_.shutdown();
    return std::unexpected(std::move(error));
  }

  // Broadcasts the merge and folds its bucket files; whether any record was read.
  Result<bool> incremental_update(const NgramKey& key, uint32_t new_id, uint32_t freq) {
    const uint64_t buckets = step_buckets(key, freq);
    auto dir = pool_.apply_merge_prepare(key, new_id, t_.config.recompute_each_step, buckets);
    if (!dir) return std::unexpected(dir.error());
    std::vector<std::optional<DiffManifest>> manifests;
    const std::vector<uint64_t> list = marked_buckets(**dir, buckets, manifests);
    const StepFiles files{(*dir)->worker_dirs(), manifests, !manifests.empty()};
    const uint64_t batch = bucket_batch_size();
    const CandidateFilter filter(t_.config, t_.interner);
    bool changed = false;
    for (size_t first = 0; first < list.size(); first += batch) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(batch, list.size() - first));
      auto diffs = read_bucket_diffs(std::span(list).subspan(first, count), files);
      if (!diffs) return unreadable_step(std::move(diffs.error()));
      fold_bucket_diffs(t_.stats, *diffs, modes_.use_heap ? FoldRule::Exact : FoldRule::Owned);
      // The heap is offered every key whose score may have risen (owned additions below 2 are
      // dropped); it refreshes stale scores itself, so offering after the whole batch chooses
      // what offering after each bucket would.
      for (const BucketDiff& diff : *diffs) {
        changed = changed || diff.had_records;
        if (!modes_.use_heap && !modes_.scan_by_heap) continue;
        for (const auto& [key, stat] : diff.new_stats) {
          if (modes_.use_heap || stat.freq >= 2) t_.heap.push(key, t_.stats, filter);
        }
      }
    }
    return changed;
  }

  // Broadcasts the merge in a recount mode. Without files the key came from an exact recount
  // with frequency 2 or more, so the rewrite changed something.
  Result<bool> recount_update(const NgramKey& key, uint32_t new_id, uint32_t freq) {
    const uint64_t buckets = step_buckets(key, freq);
    auto dir = pool_.apply_merge_prepare(key, new_id, t_.config.recompute_each_step, buckets);
    if (!dir) return std::unexpected(dir.error());
    if (env_is_set("MP_NO_DIFF") || env_is_set("MP_LOW_MEM")) return true;
    std::vector<std::optional<DiffManifest>> manifests;
    const std::vector<uint64_t> list = marked_buckets(**dir, buckets, manifests);
    auto diff = merge_bucket_diffs(list, StepFiles{(*dir)->worker_dirs(), manifests, !manifests.empty()});
    if (!diff) return unreadable_step(std::move(diff.error()));
    return !diff->old_stats.empty() || !diff->new_stats.empty();
  }

  void verify(uint64_t step, const GlobalStats& full) {
    const bool verbose = env_is_set("VERIFY_STATS_MP_VERBOSE");
    size_t diff = 0, missing = 0, extra = 0, details = 0;
    // At most five detail lines per step, of all kinds together.
    auto detail = [&] { return verbose && details < 5 && ++details; };
    full.for_each([&](const NgramKey& key, const Stat& f) {
      const Stat* inc = t_.stats.find(key);
      if (inc == nullptr) {
        ++missing;
        if (detail()) log_at(3, "verify_mp", "step {} missing {} full=({},{})", step, debug_list(key), f.freq, f.score);
      } else if (!(*inc == f)) {
        ++diff;
        if (detail()) {
          log_at(3, "verify_mp", "step {} mismatch {} full=({},{}) inc=({},{})", step, debug_list(key),
                 f.freq, f.score, inc->freq, inc->score);
        }
      }
    });
    t_.stats.for_each([&](const NgramKey& key, const Stat& inc) {
      if (full.contains(key)) return;
      ++extra;
      if (detail()) log_at(3, "verify_mp", "step {} extra {} inc=({},{})", step, debug_list(key), inc.freq, inc.score);
    });
    if (diff + missing + extra != 0) {
      log_at(3, "verify_mp", "step {} diff={}, missing={}, extra={}", step, diff, missing, extra);
    }
  }

 private:
  Zelkor& t_;
  ProcessPool& pool_;
  const Modes& modes_;
};

}  // namespace

Result<void> train_multiprocess(Zelkor& t, const WorkerCommand& command) {
  if (t.entries.empty()) return {};
  const auto call_start = Clock::now();
  Modes modes = read_modes(t.config);
  const size_t sequences = t.entries.size();
  const uint64_t workers = t.config.num_workers != 0 ? t.config.num_workers : counting_pool_threads(0);
  auto pool = ProcessPool::create(std::move(t.entries), t.config.n_values, workers, command);
  t.entries.clear();
  if (!pool) return std::unexpected(pool.error());
  Driver driver(t, **pool, modes);
  log_at(2, "train_mp", "start merges={} n_values={} workers={} recompute_each_step={}",
         t.config.num_merges, debug_list(t.config.n_values), workers, t.config.recompute_each_step);
  auto initial_start = Clock::now();
  auto initial = driver.recount();
  if (!initial) return std::unexpected(initial.error());
  t.stats = std::move(*initial);
  log_at(2, "train_mp", "initial stats done elapsed={:.2f}s entries={} stats_keys={}",
         elapsed_seconds(initial_start), sequences, t.stats.size());
  if (modes.use_incremental) {
    t.rebuild_heap();
  } else {
    t.heap.clear();
  }
  if (!modes.keep_global_stats) t.stats.clear();
  bool below_cross_word_start = vocab_size_with_specials(t.interner) < t.config.cross_word_start_vocab;
  const auto t0 = Clock::now();
  log_resources("after_initial_stats", t0);
  if (!modes.force_incremental) modes.recomp_every = env_u64("MP_RECOMP_EVERY").value_or(0);

  for (uint64_t step = 0; step < t.config.num_merges; ++step) {
    if (auto go_on = check_interrupt(); !go_on) {
      (*pool)->stop();  // idle between steps, they end in order; one that is not is killed
      return go_on;
    }
    const auto step_start = Clock::now();
    // Without global statistics the step's recount lives for this step only: released before the
    // next recount and before the end of training, so the parent never holds two.
    GlobalStats step_local;
    GlobalStats* step_stats = &t.stats;
    if (!modes.use_incremental) {
      auto counted = driver.recount();
      if (!counted) return std::unexpected(counted.error());
      if (modes.keep_global_stats) {
        t.stats = std::move(*counted);
      } else {
        t.stats.clear();
        step_local = std::move(*counted);
        step_stats = &step_local;
      }
    }
    if (step_stats->empty()) break;
    if (step % 10 == 0) {
      log_at(3, "train_mp", "step {} stats_ready size={} elapsed_total={:.2f}s", step, step_stats->size(),
             elapsed_seconds(t0));
      log_at(2, "train_mp", "step={} stats_len={} heap_len={} use_incremental={} mp_use_heap={} elapsed_total={:.2f}s",
             step, step_stats->size(), modes.scan_by_heap ? 0 : t.heap.size(), modes.use_incremental, modes.use_heap,
             elapsed_seconds(t0));
      log_resources("train_mp_step", t0);
    }
    NgramKey key;
    Stat chosen;
    if (modes.scan_by_heap) {
      if (below_cross_word_start && vocab_size_with_specials(t.interner) >= t.config.cross_word_start_vocab) {
        below_cross_word_start = false;
        t.rebuild_heap();
      } else if (t.heap.size() > t.stats.size() + t.stats.size() / 2 + 4096) {
        t.rebuild_heap();  // drop the stale entries that the offers pile up
      }
    }
    if (modes.use_incremental) {
      auto best = t.pop_best_from_heap();
      if (!best) break;
      key = std::move(best->first);
      chosen = best->second;
    } else {
      auto best = select_best_candidate(*step_stats, CandidateFilter(t.config, t.interner));
      if (!best) break;
      key = *best->key;
      chosen = *best->stat;
    }
    MergeRule rule;
    for (uint32_t id : key) {
      rule.parts.push_back(t.interner.id_to_token[id]);
      rule.merged += rule.parts.back();
    }
    const uint32_t new_id = t.interner.intern(rule.merged);
    const float stats_secs = elapsed_seconds(step_start);
    const auto update_start = Clock::now();
    auto changed = modes.use_incremental ? driver.incremental_update(key, new_id, chosen.freq)
                                         : driver.recount_update(key, new_id, chosen.freq);
    if (!changed) return std::unexpected(changed.error());
    if (modes.scan_by_heap) t.push_candidate(key);  // its entry was popped
    if (!*changed) {
      log_at(1, "train_mp", "step {} no-op merge for {}, recompute stats once", step, debug_list(key));
      if (!modes.use_incremental) break;
      auto counted = driver.recount();
      if (!counted) return std::unexpected(counted.error());
      t.stats = std::move(*counted);
      driver.reset_heap();
      if (t.stats.empty()) {
        log_at(1, "train_mp", "stats empty after recompute, stop");
        break;
      }
      continue;
    }
    if (modes.use_incremental && modes.recomp_every != 0 && (step + 1) % modes.recomp_every == 0) {
      auto counted = driver.recount();
      if (!counted) return std::unexpected(counted.error());
      t.stats = std::move(*counted);
      driver.reset_heap();
    }
    rule.merged = t.interner.id_to_token[new_id];
    rule.score = chosen.score;
    rule.freq = chosen.freq;
    t.merges.push_back(std::move(rule));
    log_at(2, "merge", "{:>6}: freq={} score={} stats={:.3f}s apply={:.3f}s total={:.1f}s [mp]", step,
           chosen.freq, chosen.score, stats_secs, elapsed_seconds(update_start), elapsed_seconds(t0));
    const uint64_t vocab_size = vocab_size_with_specials(t.interner);
    if (t.config.aim_token_num != 0 && vocab_size >= t.config.aim_token_num) {
      log_at(2, "train_mp", "reach aim_token_num={} (vocab_size={}), stop at step {} (elapsed_total={:.2f}s)",
             t.config.aim_token_num, vocab_size, step + 1, elapsed_seconds(t0));
      break;
    }
    if (modes.use_incremental && env_is_set("VERIFY_STATS_MP")) {
      auto full = driver.recount();
      if (!full) return std::unexpected(full.error());
      driver.verify(step, *full);
    }
  }

  const bool final_rebuild = env_is_set("FINAL_REBUILD_GLOBAL_STATS");
  t.heap.clear();
  if (!final_rebuild) t.stats.clear();
  auto entries = (*pool)->dump_entries();
  if (!entries) return std::unexpected(entries.error());
  t.entries = std::move(*entries);
  if (auto ended = (*pool)->shutdown(); !ended) return ended;
  if (final_rebuild) t.rebuild_global_stats();
  uint64_t total_tokens = 0;
  for (const SeqEntry& entry : t.entries) total_tokens += uint64_t{entry.freq} * entry.tokens.size();
  const float tpc = t.total_chars == 0 ? 0.0f : static_cast<float>(total_tokens) / static_cast<float>(t.total_chars);
  log_at(2, "tpc", "total_tokens={} total_chars={} tpc={:.6f} tok/char elapsed={:.3f}s [mp]", total_tokens,
         t.total_chars, tpc, elapsed_seconds(call_start));
  return {};
}

}  // namespace zelkor::mp
