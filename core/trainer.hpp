// Zelkor: the trainer value of one training call (sequences, merges, configuration, statistics,
// vocabulary, candidate heap) and its operations. Each operation hands the fields it uses to a
// kernel that takes them as explicit inputs (windows.hpp, stats.hpp, merge_step.hpp, select.hpp,
// candidate_heap.hpp, corpus.hpp), so that other drivers can run the same steps over their own
// data. Owned by one call; touched only by the driving thread between parallel sections.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/candidate_heap.hpp"
#include "core/config.hpp"
#include "core/corpus.hpp"
#include "core/error.hpp"
#include "core/interner.hpp"
#include "core/normalize.hpp"
#include "core/stats_map.hpp"
#include "core/types.hpp"

namespace zelkor {

class EntryIndex;
class ThreadPool;
struct HeapOffers;

struct Zelkor {
  std::vector<SeqEntry> entries;  // distinct token vectors with their counts
  std::vector<MergeRule> merges;  // in step order
  TrainConfig config;
  GlobalStats stats;              // global n-gram statistics of `entries`
  Interner interner;
  CandidateHeap heap;             // empty in scan mode
  uint64_t total_chars = 0;       // scalar values of the kept corpus text

  // Normalisation (normalize.hpp), under the trainer's name.
  static std::vector<std::string> encode_sentence_str(std::string_view text) {
    return zelkor::encode_sentence_str(text);
  }
  static std::vector<char32_t> normalize_chars(std::string_view text) {
    return zelkor::normalize_chars(text);
  }

  // A full recount of every window of every entry: on a new pool of num_workers threads when
  // that is non-zero, else on the calling thread's pool. Changes nothing.
  GlobalStats compute_stats_full() const;
  // Replaces `stats` by a full recount (two "stats" log lines), then rebuilds the heap in heap
  // mode or empties it.
  void rebuild_global_stats();

  // One merge step over `entries`: rewrites every entry holding `parts` (left to right, without
  // overlap) to hold `new_id` instead, folds the lost and gained windows into `stats` (offering
  // keys to the heap in heap mode) and merges entries that became equal.
  void apply_merge(IdSpan parts, uint32_t new_id);
  // The same step over the sequences held by `index` (which a training loop keeps across
  // steps), on `pool` (null: the calling thread's pool), with the given heap offers.
  void apply_merge(IdSpan parts, uint32_t new_id, EntryIndex& index, ThreadPool* pool,
                   const HeapOffers& offers);

  // The merge loop with its stop conditions and log lines (train_single.cpp). Expects `stats`
  // to hold the statistics of `entries`. Fails only with Error::interrupted(), checked before
  // each step (interrupt.hpp); the trainer then holds the steps done so far.
  Result<void> train_single();

  // Corpus counting, in process; engine/engine.hpp picks between these and the multi-process
  // preprocessing. build_vocab fills `entries` and the interner from raw corpus lines (the
  // trainer holds no sequences yet) on a counting pool of num_workers threads; from_counts
  // builds an untrained trainer from counted lines.
  void build_vocab(std::span<const std::string> lines);
  static Zelkor from_counts(SeqCounts&& counts, uint64_t total_chars, TrainConfig config);

  // Candidate heap over `stats` with the trainer's filter. Call only from the driving thread.
  // Offers `key` with its current statistics; a no-op unless it is admissible now.
  void push_candidate(const NgramKey& key);
  // Refills the heap with every admissible key of `stats`, ordered once.
  void rebuild_heap();
  // The best admissible key with a copy of its current statistics, refreshing stale entries
  // lazily; nothing when no admissible entry is left.
  std::optional<std::pair<NgramKey, Stat>> pop_best_from_heap();
};

}  // namespace zelkor
