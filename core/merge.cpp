// Merge application. One step finds the key's occurrences through the entry index (greedy,
// left to right, per entry) and runs in batches of runs of entries:
//  1. rewrite, in parallel: for each entry, the windows lost and gained around its matches are
//     listed from a small neighbourhood of them, its slots are rewritten in place, and the
//     pairs the new tokens form with their neighbours are noted;
//  2. fold, in entry order per key: each entry's lost windows are subtracted from the
//     statistics and its gained windows added, weighted by the entry's count; the heap is then
//     offered the keys it needs.
// Afterwards the index lists the new pairs. Entries keep their places, so the order of the next
// step's fold depends neither on hash seeds nor on the thread count.
#include "core/merge.hpp"

#include <algorithm>
#include <array>

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

// The windows of every n of `n_values` over `seq` that overlap [p, p + k) for some p of the
// ascending `positions` (the windows collect_starts lists), equal n-grams merged into one Window.
void list_windows(std::vector<Window>& out, std::span<const uint32_t> seq,
                  std::span<const uint64_t> positions, std::span<const uint64_t> n_values,
                  uint64_t k) {
  out.clear();
  for (uint64_t n : n_values) {
    if (n == 0 || n > seq.size()) continue;
    // Positions ascend, so each window start is reached first from its leftmost position:
    // starting every range after the last one emitted lists each start once, in order.
    uint64_t next = 0;
    for (uint64_t p : positions) {
      const uint64_t lo = std::max(p >= n - 1 ? p - (n - 1) : 0, next);
      const uint64_t hi = std::min<uint64_t>(p + k - 1, seq.size() - n);
      for (uint64_t s = lo; s <= hi; ++s) {
        out.push_back(Window{static_cast<uint32_t>(s), static_cast<uint32_t>(n), 1,
                             prehash_ids(seq.subspan(s, n))});
      }
      next = std::max(next, hi + 1);
    }
  }
  // Equal n-grams have equal hashes, so sorting by hash brings them together; a run of equal
  // hashes is merged by comparing the ids (a collision leaves two windows in one run).
  std::sort(out.begin(), out.end(), [](const Window& a, const Window& b) {
    return a.n != b.n ? a.n < b.n : a.prehash < b.prehash;
  });
  auto span_of = [&](const Window& w) { return seq.subspan(w.start, w.n); };
  size_t kept = 0;
  for (size_t i = 0; i < out.size();) {
    size_t j = i + 1;
    while (j < out.size() && out[j].n == out[i].n && out[j].prehash == out[i].prehash) ++j;
    const size_t run = kept;
    for (size_t x = i; x < j; ++x) {
      size_t y = run;
      while (y < kept && !IdsEq{}(span_of(out[y]), span_of(out[x]))) ++y;
      if (y < kept) {
        out[y].count += out[x].count;
      } else {
        out[kept++] = out[x];
      }
    }
    i = j;
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

  rewrite_at(tokens, k, new_id, n_values, buffers);
  return true;
}

void rewrite_at(std::span<const uint32_t> tokens, size_t k, uint32_t new_id,
                std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  buffers.new_positions.clear();
  buffers.rewritten.clear();
  const size_t len = tokens.size();
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
  list_windows(buffers.removed, tokens, buffers.positions, n_values, k);
  list_windows(buffers.added, buffers.rewritten, buffers.new_positions, n_values, 1);
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
  index.finish();
}

namespace {

using Place = EntryIndex::Place;

// The rewrites of one run of entries, back to back in flat arrays, so that a step allocates per
// run rather than per entry. Each change holds the neighbourhoods of the entry's matches before
// and after the rewrite (context enough for every window that overlaps a match).
struct RunChanges {
  struct Change {
    uint32_t entry;
    size_t old_at, new_at;   // the two neighbourhoods in `tokens`
    size_t windows_at;       // removed windows (over the old one), then added ones (over the new)
    uint32_t removed_len, added_len;
  };
  std::vector<uint32_t> tokens;
  std::vector<Window> windows;
  std::vector<Change> changes;
  std::vector<std::pair<uint64_t, Place>> new_pairs;  // occurrences the rewrites created
};

// One window of a fold: `count` occurrences of the n ids at `key`, weighted by `mult`.
struct FoldItem {
  const uint32_t* key;
  uint64_t prehash;
  uint32_t n;
  uint32_t count;
  uint32_t mult;
  bool add;
  PrehashedIds ids() const { return PrehashedIds(IdSpan(key, n), prehash); }
};

constexpr size_t RUN_LEN = 256;       // entries per rewrite run
constexpr size_t BATCH_RUNS = 64;     // runs rewritten and folded together
constexpr size_t SERIAL_BELOW = 512;  // steps with fewer matches run on the calling thread

// The ids around the matches `ms` of one entry (each k tokens long) into buffers.local, the match
// starts into buffers.positions: per cluster of matches, `context` tokens before, the tokens
// from its first match to the end of its last, and `context` after. Windows overlapping a match
// never reach past its cluster's context, so the clusters can sit side by side without creating
// windows that the entry does not hold.
void gather(const EntryIndex& index, std::span<const Place> ms, size_t k, size_t context,
            MergeBuffers& buffers) {
  std::vector<uint32_t>& local = buffers.local;
  local.clear();
  buffers.positions.clear();
  size_t i = 0;
  while (i < ms.size()) {
    const size_t before = local.size();
    Place q = index.prev(ms[i]);
    for (size_t c = 0; c < context && q.slot != EntryIndex::NONE; ++c, q = index.prev(q)) {
      local.push_back(index.id(q));
    }
    std::reverse(local.begin() + static_cast<ptrdiff_t>(before), local.end());
    Place cur = ms[i];
    size_t since_match = 0;
    while (true) {
      if (i < ms.size() && cur.slot == ms[i].slot) {
        buffers.positions.push_back(local.size());
        for (size_t t = 0; t < k; ++t, cur = index.next(cur)) local.push_back(index.id(cur));
        ++i;
        since_match = 0;
      } else {
        if (cur.slot == EntryIndex::NONE || since_match == context) break;
        local.push_back(index.id(cur));
        cur = index.next(cur);
        ++since_match;
      }
    }
  }
}

}  // namespace

void Zelkor::apply_merge(IdSpan parts, uint32_t new_id, EntryIndex& index) {
  if (parts.empty()) return;
  const std::vector<uint64_t> n_values = config.n_values;
  const size_t k = parts.size();
  const size_t context =
      n_values.empty() ? 0 : *std::max_element(n_values.begin(), n_values.end()) - 1;
  uint64_t listed_pair = UINT64_MAX;
  std::vector<Place> others;
  const std::vector<Place> found = index.matches(parts, listed_pair, others);
  const bool serial = found.size() < SERIAL_BELOW;

  // The matches of each entry: found[groups[g] .. groups[g + 1]).
  std::vector<size_t> groups;
  for (size_t i = 0; i < found.size(); ++i) {
    if (i == 0 || found[i].entry != found[i - 1].entry) groups.push_back(i);
  }
  const size_t entry_count = groups.size();
  groups.push_back(found.size());
  const size_t run_count = (entry_count + RUN_LEN - 1) / RUN_LEN;

  const bool offer = !config.recompute_each_step && (config.use_heap || track_heap);
  const uint64_t vocab_size = vocab_size_with_specials(interner);
  std::vector<std::pair<uint64_t, Place>> new_pairs;

  // The runs go through both passes a batch at a time, which bounds the memory a step holds
  // (the first steps rewrite most entries). Batches fold in order, so every key still sees its
  // changes in entry order.
  for (size_t first_run = 0; first_run < run_count; first_run += BATCH_RUNS) {
    std::vector<RunChanges> runs(std::min(BATCH_RUNS, run_count - first_run));

    // 1. Rewrite, one run of RUN_LEN entries per task: list the windows around the matches
    // before and after, rewrite the slots, and note the pairs the new tokens form.
    auto rewrite_run = [&](size_t r, MergeBuffers& buffers) {
      RunChanges& out = runs[r];
      const std::vector<uint32_t>& local = buffers.local;
      const size_t end = std::min(entry_count, (first_run + r + 1) * RUN_LEN);
      for (size_t g = (first_run + r) * RUN_LEN; g < end; ++g) {
        const std::span<const Place> ms(found.data() + groups[g], groups[g + 1] - groups[g]);
        gather(index, ms, k, context, buffers);
        rewrite_at(local, k, new_id, n_values, buffers);
        out.changes.push_back(RunChanges::Change{
            ms[0].entry, out.tokens.size(), out.tokens.size() + local.size(), out.windows.size(),
            static_cast<uint32_t>(buffers.removed.size()),
            static_cast<uint32_t>(buffers.added.size())});
        out.tokens.insert(out.tokens.end(), local.begin(), local.end());
        out.tokens.insert(out.tokens.end(), buffers.rewritten.begin(), buffers.rewritten.end());
        out.windows.insert(out.windows.end(), buffers.removed.begin(), buffers.removed.end());
        out.windows.insert(out.windows.end(), buffers.added.begin(), buffers.added.end());
        for (const Place m : ms) index.merge_at(m, k, new_id);
        for (const Place m : ms) {
          if (const Place p = index.prev(m); p.slot != EntryIndex::NONE) {
            out.new_pairs.emplace_back(EntryIndex::pair_of(index.id(p), new_id), p);
          }
          if (const Place q = index.next(m); q.slot != EntryIndex::NONE) {
            out.new_pairs.emplace_back(EntryIndex::pair_of(new_id, index.id(q)), m);
          }
        }
      }
    };
    if (serial) {
      // Late steps touch few entries: starting parallel work would cost more than doing it.
      MergeBuffers buffers;
      for (size_t r = 0; r < runs.size(); ++r) rewrite_run(r, buffers);
    } else {
      run_with_workers(config.num_workers, "build pool", [&] {
        tbb::enumerable_thread_specific<MergeBuffers> scratch;
        tbb::parallel_for(size_t{0}, runs.size(), [&](size_t r) { rewrite_run(r, scratch.local()); });
      });
    }
    for (RunChanges& run : runs) {
      new_pairs.insert(new_pairs.end(), run.new_pairs.begin(), run.new_pairs.end());
      decltype(run.new_pairs)().swap(run.new_pairs);
    }
    if (config.recompute_each_step) continue;

    // 2. Fold, in entry order (the saturating rules make the order matter for a key). Keys of
    // different shards never interact, so the windows are first sorted into per-shard lists
    // (blocks of runs in parallel, entry order kept inside each list), then every shard folds
    // its lists in block order on its own task.
    using ShardLists = std::array<std::vector<FoldItem>, GlobalStats::SHARDS>;
    const size_t block_count = serial ? 1 : runs.size();
    std::vector<ShardLists> blocks(block_count);
    auto sort_block = [&](size_t b) {
      for (size_t r = b; r < runs.size(); r += block_count) {
        const RunChanges& run = runs[r];
        for (const RunChanges::Change& c : run.changes) {
          const uint32_t mult = entries[c.entry].freq;
          const Window* w = run.windows.data() + c.windows_at;
          for (uint32_t j = 0; j < c.removed_len + c.added_len; ++j, ++w) {
            const bool add = j >= c.removed_len;
            const uint32_t* seq = run.tokens.data() + (add ? c.new_at : c.old_at);
            const FoldItem item{seq + w->start, w->prehash, w->n, w->count, mult, add};
            blocks[b][stats.shard_index(item.ids())].push_back(item);
          }
        }
      }
    };
    auto fold_shard = [&](size_t s) {
      StatsMap& shard = stats.shard(s);
      for (const ShardLists& lists : blocks) {
        for (const FoldItem& item : lists[s]) {
          const Stat change{item.count, uint64_t{item.count} * (item.n - 1)};
          fold_owned_key(shard, item.ids(), change, item.mult, item.add);
        }
      }
    };
    if (serial) {
      sort_block(0);
      for (size_t s = 0; s < GlobalStats::SHARDS; ++s) fold_shard(s);
    } else {
      // The same pool rule as the rewrite, so num_workers bounds the whole step.
      run_with_workers(config.num_workers, "build pool", [&] {
        tbb::parallel_for(size_t{0}, block_count, sort_block);
        tbb::parallel_for(size_t{0}, GlobalStats::SHARDS, fold_shard);
      });
    }

    // Heap offers. A key's score can only have risen through an addition, so offering each
    // touched key once after its batch, with the statistics it has then, keeps an entry at or
    // above every key's current score, which is all pop_best_from_heap needs. Heap mode offers
    // every touched key; the scan's heap only the keys whose score rose (gains the fold kept).
    if (offer) {
      const bool all_touched = config.use_heap;
      absl::flat_hash_set<NgramKey, SeededHash, IdsEq> touched;
      for (const ShardLists& lists : blocks) {
        for (const auto& list : lists) {
          for (const FoldItem& item : list) {
            if (!all_touched && (!item.add || uint64_t{item.count} * item.mult < 2)) continue;
            if (touched.contains(item.ids())) continue;
            NgramKey key(item.key, item.key + item.n);
            touched.insert(key);
            push_candidate(key, vocab_size);
          }
        }
      }
    }
  }

  // The scan's heap is also offered the merged key itself, whose entry the selection popped.
  if (offer && !config.use_heap) push_candidate(NgramKey(parts.begin(), parts.end()), vocab_size);

  // 3. The searched pair keeps only the places that still hold it; the new pairs are listed.
  // Entries that may have become equal are merged (never when every entry spells its own text).
  index.relist(listed_pair, std::move(others));
  for (const auto& [pair, place] : new_pairs) index.list_pair(pair, place);
  index.after_step(found.size() * (k - 1));
  if (index.entries_may_collide()) index.regroup();
}

}  // namespace zelkor
