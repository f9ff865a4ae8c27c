// Candidate selection. The heap holds lazily refreshed entries: a change to a key's statistics
// never searches the heap, it only pushes a new entry (when the key is offered); stale entries
// are refreshed or dropped when they reach the top. So an entry's score may be higher than the
// key's current one (refreshed on pop) but, as long as every rise is pushed, never lower, and
// the first entry that comes out with its current score is the best admissible key.
// The scan instead folds every shard of the statistics in parallel and joins the shards' best
// pairs in shard order; keys are unique, so the result does not depend on the split.
#include "core/select.hpp"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "core/filter.hpp"

namespace zelkor {

bool is_admissible(const Zelkor& trainer, const NgramKey& key, const Stat& stat,
                   uint64_t vocab_size) {
  return stat.freq >= 2 &&
         passes_candidate_filter(key, trainer.config, trainer.interner, vocab_size);
}

void Zelkor::push_candidate(const NgramKey& key) {
  push_candidate(key, vocab_size_with_specials(interner));
}

void Zelkor::push_candidate(const NgramKey& key, uint64_t vocab_size) {
  const Stat* stat = stats.find(key);
  if (stat == nullptr || !is_admissible(*this, key, *stat, vocab_size)) return;
  heap.push_back(Candidate{key, stat->score, key.size()});
  std::push_heap(heap.begin(), heap.end(), candidate_less);
}

void Zelkor::rebuild_heap() {
  heap.clear();
  const uint64_t vocab_size = vocab_size_with_specials(interner);
  stats.for_each([&](const NgramKey& key, const Stat& stat) {
    if (is_admissible(*this, key, stat, vocab_size)) {
      heap.push_back(Candidate{key, stat.score, key.size()});
    }
  });
  std::make_heap(heap.begin(), heap.end(), candidate_less);
}

std::optional<std::pair<NgramKey, Stat>> Zelkor::pop_best_from_heap() {
  const uint64_t vocab_size = vocab_size_with_specials(interner);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), candidate_less);
    Candidate& top = heap.back();
    const Stat* stat = stats.find(top.key);
    if (stat == nullptr || stat->freq < 2) {
      heap.pop_back();
      continue;
    }
    if (stat->score != top.score) {
      // Stale: put it back at its current score; the filter waits until it tops the heap.
      top.score = stat->score;
      std::push_heap(heap.begin(), heap.end(), candidate_less);
      continue;
    }
    if (!passes_candidate_filter(top.key, config, interner, vocab_size)) {
      heap.pop_back();
      continue;
    }
    std::pair<NgramKey, Stat> best{std::move(top.key), *stat};
    heap.pop_back();
    return best;
  }
  return std::nullopt;
}

std::optional<StatRef> select_best_candidate(const Zelkor& trainer) {
  using Best = std::optional<StatRef>;
  const uint64_t vocab_size = vocab_size_with_specials(trainer.interner);
  auto join = [](const Best& left, const Best& right) -> Best {
    if (!left) return right;
    if (!right) return left;
    return better_ref(*left, *right);
  };
  return tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, GlobalStats::SHARDS, 1), Best{},
      [&](const tbb::blocked_range<size_t>& range, Best best) {
        for (size_t s = range.begin(); s != range.end(); ++s) {
          for (const auto& [key, stat] : trainer.stats.shard(s)) {
            if (!is_admissible(trainer, key, stat, vocab_size)) continue;
            StatRef here{&key, &stat};
            best = best ? better_ref(*best, here) : here;
          }
        }
        return best;
      },
      join);
}

}  // namespace zelkor
