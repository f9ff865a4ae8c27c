// Merge application. One step runs in three passes over the entries that may hold the key (those
// that the entry index lists under the key's rarest adjacent pair):
//  1. rewrite, in parallel: each entry is matched greedily left to right against the key; a
//     matched entry gets its new token vector and two small change maps, counted only over the
//     windows that overlap a match (old windows lost, new windows gained);
//  2. fold, on the calling thread, in entry order: each entry's lost windows are subtracted from
//     the statistics and its gained windows added, weighted by the entry's count (heap mode
//     then offers every touched key to the candidate heap);
//  3. regroup: each rewritten entry takes its new vector; one that now equals another entry is
//     merged into it, so no two entries are equal afterwards. Entries keep their places (dead
//     ones are dropped in order), so the order of entries, and with it the order of the next
//     step's fold, depends neither on hash seeds nor on the thread count.
#include "core/merge.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "core/entry_index.hpp"
#include "core/pool.hpp"
#include "core/stats.hpp"
#include "core/trainer.hpp"

namespace zelkor {
namespace {

void sort_unique(std::vector<uint64_t>& values) {
  if (values.size() < 21) {
    // Insertion sort: these lists are short and nearly sorted.
    for (size_t i = 1; i < values.size(); ++i) {
      uint64_t v = values[i];
      size_t j = i;
      for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
      values[j] = v;
    }
  } else {
    std::sort(values.begin(), values.end());
  }
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

// The windows (n, start) of `starts` over `seq`, equal n-grams merged into one Window.
void list_windows(std::vector<Window>& out, std::span<const uint32_t> seq, const StartsMap& starts) {
  out.clear();
  for (const auto& [n, list] : starts) {
    for (uint64_t s : list) {
      out.push_back(Window{static_cast<uint32_t>(s), static_cast<uint32_t>(n), 1});
    }
  }
  auto span_of = [&](const Window& w) { return seq.subspan(w.start, w.n); };
  auto less = [&](const Window& a, const Window& b) {
    if (a.n != b.n) return a.n < b.n;
    auto x = span_of(a), y = span_of(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  };
  std::sort(out.begin(), out.end(), less);
  size_t kept = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (kept > 0 && out[kept - 1].n == out[i].n && IdsEq{}(span_of(out[kept - 1]), span_of(out[i]))) {
      ++out[kept - 1].count;
    } else {
      out[kept++] = out[i];
    }
  }
  out.resize(kept);
}

// The unweighted statistics of `windows` over `seq`.
StatsMap window_stats(const std::vector<Window>& windows, std::span<const uint32_t> seq) {
  StatsMap map;
  map.reserve(windows.size());
  for (const Window& w : windows) {
    map.emplace(NgramKey(seq.begin() + w.start, seq.begin() + w.start + w.n),
                Stat{w.count, uint64_t{w.count} * (w.n - 1)});
  }
  return map;
}

}  // namespace

StartsMap collect_starts(uint64_t seq_len, std::span<const uint64_t> positions,
                         std::span<const uint64_t> n_values, uint64_t k) {
  StartsMap starts;
  if (positions.empty()) return starts;
  for (uint64_t n : n_values) starts.emplace_back(n, std::vector<uint64_t>{});
  for (uint64_t p : positions) {
    for (auto& [n, list] : starts) {
      uint64_t lo = p >= n - 1 ? p - (n - 1) : 0;
      uint64_t hi = p + k - 1;
      for (uint64_t s = lo; s <= hi; ++s) {
        if (s + n <= seq_len) list.push_back(s);
      }
    }
  }
  for (auto& [n, list] : starts) sort_unique(list);
  return starts;
}

bool rewrite_sequence(std::span<const uint32_t> tokens, std::span<const uint32_t> parts,
                      uint32_t new_id, std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  buffers.positions.clear();
  buffers.new_positions.clear();
  buffers.rewritten.clear();
  buffers.removed.clear();
  buffers.added.clear();
  const size_t len = tokens.size(), k = parts.size();
  if (len < k || k == 0) return false;
  const uint32_t first = parts[0];
  for (size_t i = 0; i + k <= len;) {
    // Test the first id before the rest: most positions fail there.
    bool match = tokens[i] == first;
    for (size_t j = 1; match && j < k; ++j) match = tokens[i + j] == parts[j];
    if (match) {
      buffers.positions.push_back(i);
      i += k;
    } else {
      ++i;
    }
  }
  if (buffers.positions.empty()) return false;

  buffers.rewritten.reserve(len - buffers.positions.size() * (k - 1));
  size_t next_match = 0;
  for (size_t i = 0; i < len;) {
    if (next_match < buffers.positions.size() && buffers.positions[next_match] == i) {
      buffers.new_positions.push_back(buffers.rewritten.size());
      buffers.rewritten.push_back(new_id);
      ++next_match;
      i += k;
    } else {
      buffers.rewritten.push_back(tokens[i++]);
    }
  }
  list_windows(buffers.removed, tokens, collect_starts(len, buffers.positions, n_values, k));
  list_windows(buffers.added, buffers.rewritten,
               collect_starts(buffers.rewritten.size(), buffers.new_positions, n_values, 1));
  return true;
}

EntryDelta compute_entry_deltas(SeqEntry&& entry, std::span<const uint32_t> parts, uint32_t new_id,
                                std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  EntryDelta delta;
  delta.freq = entry.freq;
  if (!rewrite_sequence(entry.tokens, parts, new_id, n_values, buffers)) {
    delta.tokens = std::move(entry.tokens);
    return delta;
  }
  delta.tokens.assign(buffers.rewritten.begin(), buffers.rewritten.end());
  delta.removed = window_stats(buffers.removed, entry.tokens);
  delta.added = window_stats(buffers.added, delta.tokens);
  entry.tokens = TokenIds{};
  return delta;
}

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id) {
  EntryIndex index(entries);
  apply_merge(parts, new_id, index);
  index.compact(true);
}

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id, EntryIndex& index) {
  if (parts.empty()) return;
  const std::vector<uint64_t> n_values = config.n_values;
  auto [candidates, rarest] = index.candidates(parts);

  // 1. Rewrite the candidates. Unmatched ones keep their vectors and get no change maps.
  struct Change {
    TokenIds tokens;               // the rewritten sequence
    std::vector<Window> removed;   // over the entry's old tokens (in place until step 3)
    std::vector<Window> added;     // over `tokens`
  };
  std::vector<std::unique_ptr<Change>> changes(candidates.size());
  // Whether each candidate still holds the rarest pair after the step, found while its tokens
  // are in cache (it decides the candidate's place in that pair's holder list).
  std::vector<uint8_t> holds_rarest(candidates.size(), 0);
  auto holds = [&](const TokenIds& tokens) {
    for (size_t i = 1; i < tokens.size(); ++i) {
      if (EntryIndex::pair_of(tokens[i - 1], tokens[i]) == rarest) return true;
    }
    return false;
  };
  auto rewrite_range = [&](size_t begin, size_t end, MergeBuffers& buffers) {
    for (size_t i = begin; i != end; ++i) {
      const TokenIds& tokens = entries[candidates[i]].tokens;
      if (!rewrite_sequence(tokens, parts, new_id, n_values, buffers)) {
        holds_rarest[i] = holds(tokens);
        continue;
      }
      holds_rarest[i] = holds(buffers.rewritten);
      changes[i] = std::make_unique<Change>(Change{
          TokenIds(buffers.rewritten.begin(), buffers.rewritten.end()), buffers.removed, buffers.added});
    }
  };
  if (candidates.size() < 512) {
    // Late steps touch few entries: starting parallel work would cost more than doing it.
    MergeBuffers buffers;
    rewrite_range(0, candidates.size(), buffers);
  } else {
    run_with_workers(config.num_workers, "build pool", [&] {
      tbb::enumerable_thread_specific<MergeBuffers> scratch;
      tbb::parallel_for(tbb::blocked_range<size_t>(0, candidates.size()),
                        [&](const tbb::blocked_range<size_t>& range) {
                          rewrite_range(range.begin(), range.end(), scratch.local());
                        });
    });
  }

  // 2. Fold, in entry order (the saturating rules make the order matter for a key). Keys of
  // different shards never interact, so the changes are first sorted into per-shard lists
  // (blocks of entries in parallel, entry order kept inside each list), then every shard folds
  // its lists in block order on its own task. In heap mode every touched key is then offered
  // once with its final statistics: a key's score can only have risen through an addition, so
  // each key still has an entry at or above its current score, which is all that
  // pop_best_from_heap needs.
  if (!config.recompute_each_step) {
    struct Item {
      IdSpan key;
      Stat change;
      uint32_t mult;
      bool add;
    };
    using ShardLists = std::array<std::vector<Item>, GlobalStats::SHARDS>;
    const size_t block_count = std::clamp<size_t>(candidates.size() / 512, 1, 256);
    const size_t block_len = (candidates.size() + block_count - 1) / block_count;
    std::vector<ShardLists> blocks(block_count);
    auto sort_block = [&](size_t b) {
      const size_t end = std::min(candidates.size(), (b + 1) * block_len);
      for (size_t i = b * block_len; i < end; ++i) {
        if (!changes[i]) continue;
        const uint32_t mult = entries[candidates[i]].freq;
        for (bool add : {false, true}) {
          const IdSpan seq = add ? IdSpan(changes[i]->tokens) : IdSpan(entries[candidates[i]].tokens);
          for (const Window& w : add ? changes[i]->added : changes[i]->removed) {
            const IdSpan key = seq.subspan(w.start, w.n);
            const Stat stat{w.count, uint64_t{w.count} * (w.n - 1)};
            blocks[b][stats.shard_index(key)].push_back(Item{key, stat, mult, add});
          }
        }
      }
    };
    auto fold_shard = [&](size_t s) {
      StatsMap& shard = stats.shard(s);
      for (const ShardLists& lists : blocks) {
        for (const Item& item : lists[s]) fold_owned_key(shard, item.key, item.change, item.mult, item.add);
      }
    };
    if (block_count == 1) {
      // A small step: the parallel sections would cost more than the work.
      sort_block(0);
      for (size_t s = 0; s < GlobalStats::SHARDS; ++s) fold_shard(s);
    } else {
      // The same pool rule as the rewrite, so num_workers bounds the whole step.
      run_with_workers(config.num_workers, "build pool", [&] {
        tbb::parallel_for(size_t{0}, block_count, sort_block);
        tbb::parallel_for(size_t{0}, GlobalStats::SHARDS, fold_shard);
      });
    }
    if (config.use_heap || track_heap) {
      // Heap mode offers every touched key. The scan's heap needs only the keys whose score
      // rose (gains that the fold kept) and the merged key itself: every other key's entry
      // still stands at or above its score.
      const bool all_touched = config.use_heap;
      const uint64_t vocab_size = vocab_size_with_specials(interner);
      absl::flat_hash_set<NgramKey, SeededHash, IdsEq> touched;
      if (!all_touched) push_candidate(NgramKey(parts.begin(), parts.end()), vocab_size);
      for (const ShardLists& lists : blocks) {
        for (const auto& list : lists) {
          for (const Item& item : list) {
            if (!all_touched && (!item.add || uint64_t{item.change.freq} * item.mult < 2)) continue;
            if (touched.contains(item.key)) continue;
            NgramKey key(item.key.begin(), item.key.end());
            touched.insert(key);
            push_candidate(key, vocab_size);
          }
        }
      }
    }
  }

  // 3. Regroup: rewritten entries take their new vectors; one that equals another live entry
  // is merged into it. The rarest pair's list keeps only the entries that still hold it.
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (changes[i]) index.detach(candidates[i]);
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (changes[i]) index.attach(candidates[i], std::move(changes[i]->tokens), new_id);
  }
  decltype(changes)().swap(changes);
  size_t kept = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (holds_rarest[i] && index.alive(candidates[i])) candidates[kept++] = candidates[i];
  }
  candidates.resize(kept);
  index.set_holders(rarest, std::move(candidates));
  index.compact(false);
}

}  // namespace zelkor
