// The single-process merge loop: select the best admissible n-gram, intern its text, rewrite the
// sequences and fold the statistics, record the merge, log; until num_merges steps, empty
// statistics, no candidate, or the vocabulary aim. VERIFY_PRE / VERIFY_STATS compare the folded
// statistics with a full recount; DEBUG_PAIR traces one pair of token texts.
#include <chrono>
#include <string>

#include "core/debug_fmt.hpp"
#include "core/entry_index.hpp"
#include "core/env.hpp"
#include "core/interrupt.hpp"
#include "core/log.hpp"
#include "core/stats_fold.hpp"
#include "core/pool.hpp"
#include "core/select.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"

namespace zelkor {
namespace {

constexpr const char* TAG = "train_single";

struct StatsDiff {
  size_t diff = 0, missing = 0, extra = 0;
  size_t total() const { return diff + missing + extra; }
};

// Compares a recount with the folded statistics.
StatsDiff compare_stats(const GlobalStats& recount, const GlobalStats& folded) {
  StatsDiff d;
  recount.for_each([&](const NgramKey& key, const Stat& stat) {
    const Stat* mine = folded.find(key);
    if (mine == nullptr) {
      ++d.missing;
    } else if (!(*mine == stat)) {
      ++d.diff;
    }
  });
  folded.for_each([&](const NgramKey& key, const Stat&) { d.extra += !recount.contains(key); });
  return d;
}

// The two-id key named by DEBUG_PAIR ("text_a,text_b"), interning both texts as they stand.
std::optional<NgramKey> debug_pair(Interner& interner, uint64_t step) {
  auto value = env_var("DEBUG_PAIR");
  if (!value) return std::nullopt;
  size_t comma = value->find(',');
  if (comma == std::string::npos) return std::nullopt;
  size_t end = value->find(',', comma + 1);
  std::string_view text(*value);
  uint32_t a = interner.intern(text.substr(0, comma));
  uint32_t b = interner.intern(
      text.substr(comma + 1, end == std::string::npos ? std::string::npos : end - comma - 1));
  log_at(3, TAG, "[debug-pair-ids] step {} ids=({}, {})", step, a, b);
  return NgramKey{a, b};
}

}  // namespace

Result<void> Zelkor::train_single() {
  const auto t0 = std::chrono::steady_clock::now();
  log_at(2, TAG, "start merges={} n_values={} recompute_each_step={} use_heap={} num_workers={}",
         config.num_merges, debug_list(config.n_values), config.recompute_each_step,
         config.use_heap, config.num_workers);
  const bool verify_stats = env_is_set("VERIFY_STATS");
  const bool verify_pre = env_is_set("VERIFY_PRE");
  if (config.use_heap) {
    rebuild_heap();
  } else {
    heap.clear();
  }
  // Scan mode selects through the heap as well, which returns exactly the scan's choice: every
  // key whose score rises is offered again by the merge step, so each admissible key keeps an
  // entry at or above its current score, and pop_best_from_heap refreshes stale entries. The
  // filter of a key changes over time only through cross_word_start_vocab (the vocabulary only
  // grows), so the heap is rebuilt once when the vocabulary reaches that size.
  const bool scan_by_heap = !config.use_heap && !config.recompute_each_step;
  bool below_cross_word_start = vocab_size_with_specials(interner) < config.cross_word_start_vocab;
  if (scan_by_heap) rebuild_heap();
  const bool offer = config.use_heap || scan_by_heap;
  // One pool for the loop's parallel stages; the index holds the sequences until the end.
  const std::unique_ptr<ThreadPool> pool = per_call_pool(config.num_workers, "build pool");
  EntryIndex index(std::move(entries), &interner);
  // A recount of the sequences as they stand, for the verification switches.
  auto recount = [&] {
    return run_on(pool.get(), [&] { return count_stats(index.snapshot(), config.n_values); });
  };

  Result<void> outcome;
  for (uint64_t step = 0; step < config.num_merges; ++step) {
    if (outcome = check_interrupt(); !outcome) break;
    const auto t_step = std::chrono::steady_clock::now();
    const std::optional<NgramKey> pair = debug_pair(interner, step);
    if (verify_pre) {
      StatsDiff d = compare_stats(recount(), stats);
      if (d.total() != 0) {
        log_at(3, TAG, "[verify-pre] step {} diff={}, missing={}, extra={}", step, d.diff,
               d.missing, d.extra);
      }
    }
    if (stats.empty()) {
      log_at(2, TAG, "step {} stats empty, stop (elapsed_total={:.2f}s)", step, elapsed_seconds(t0));
      break;
    }

    NgramKey key;
    Stat chosen;
    if (scan_by_heap) {
      if (below_cross_word_start &&
          vocab_size_with_specials(interner) >= config.cross_word_start_vocab) {
        below_cross_word_start = false;
        rebuild_heap();
      } else if (heap.size() > stats.size() + stats.size() / 2 + 4096) {
        rebuild_heap();  // drop the stale entries that the offers pile up
      }
    }
    if (config.use_heap || scan_by_heap) {
      auto best = pop_best_from_heap();
      if (!best) break;
      key = std::move(best->first);
      chosen = best->second;
    } else {
      auto best = select_best_candidate(stats, CandidateFilter(config, interner));
      if (!best) break;
      key = *best->key;
      chosen = *best->stat;
    }

    if (pair) {
      if (const Stat* stat = stats.find(*pair)) {
        log_at(3, TAG, "[debug-pair-lookup] step {} freq={} score={}", step, stat->freq,
               stat->score);
      } else {
        log_at(3, TAG, "[debug-pair-lookup] step {} not found", step);
      }
    }
    const float stats_time = elapsed_seconds(t_step);
    const auto t_apply = std::chrono::steady_clock::now();

    MergeRule rule;
    rule.parts.reserve(key.size());
    for (uint32_t id : key) {
      rule.parts.push_back(interner.id_to_token[id]);
      rule.merged += rule.parts.back();
    }
    const uint32_t new_id = interner.intern(rule.merged);
    const CandidateFilter filter(config, interner);
    HeapOffers offers;
    if (offer) offers = HeapOffers{&heap, &filter, !config.use_heap};
    apply_merge(key, new_id, index, pool.get(), offers);
    rule.merged = interner.id_to_token[new_id];
    rule.score = chosen.score;
    rule.freq = chosen.freq;
    merges.push_back(std::move(rule));

    const float apply_time = elapsed_seconds(t_apply);
    log_at(2, "merge", "{:>6}: freq={} score={} stats={:.3f}s apply={:.3f}s total={:.1f}s [single]",
           step, chosen.freq, chosen.score, stats_time, apply_time, elapsed_seconds(t0));

    const uint64_t vocab_size = vocab_size_with_specials(interner);
    if (config.aim_token_num != 0 && vocab_size >= config.aim_token_num) {
      log_at(2, TAG, "reach aim_token_num={} (vocab_size={}), stop at step {} (elapsed_total={:.2f}s)",
             config.aim_token_num, vocab_size, step + 1, elapsed_seconds(t0));
      break;
    }
    if (verify_stats) {
      StatsDiff d = compare_stats(recount(), stats);
      if (d.total() != 0) {
        log_at(3, TAG, "[verify] step {} diff={}, missing={}, extra={}", step, d.diff, d.missing,
               d.extra);
      }
    }
  }

  if (scan_by_heap) heap.clear();
  entries = std::move(index).release();
  if (!outcome) return outcome;

  uint64_t total_tokens = 0;
  for (const SeqEntry& entry : entries) total_tokens += uint64_t{entry.freq} * entry.tokens.size();
  const float tpc = total_chars == 0 ? 0.0f
                                     : static_cast<float>(total_tokens) /
                                           static_cast<float>(total_chars);
  log_at(2, "tpc", "total_tokens={} total_chars={} tpc={:.6f} tok/char elapsed={:.3f}s [single]",
         total_tokens, total_chars, tpc, elapsed_seconds(t0));
  return {};
}

}  // namespace zelkor
