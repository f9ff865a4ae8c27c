// The merge step. Its occurrences are found through the entry index (greedy, left to right, per
// entry); runs of entries then go through the stages a batch at a time, which bounds what a step
// holds (the first steps rewrite most entries):
//  1. rewrite, in parallel: for each entry, the windows lost and gained around its matches are
//     listed from a small neighbourhood of them, its slots are rewritten in place, and the pairs
//     the new tokens form with their neighbours are noted;
//  2. route: each window goes to the list of its statistics shard, entry order kept per list;
//  3. fold, one shard per task: lost windows subtracted, gained ones added, weighted by the
//     entry's count (the saturating rules make the order matter for a key);
//  4. offer the touched keys to the heap.
// Afterwards the index lists the new pairs. Entries keep their places, so the order of the next
// step's fold depends neither on hash seeds nor on the thread count.
#include "core/merge_step.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "core/rewrite.hpp"
#include "core/stats.hpp"

namespace zelkor {
namespace {

using Place = EntryIndex::Place;

constexpr size_t RUN_LEN = 256;    // entries per rewrite task
constexpr size_t BATCH_RUNS = 64;  // runs rewritten and folded together

// The occurrences of the key, grouped by entry: the matches of the g-th entry are
// found[groups[g] .. groups[g + 1]).
struct StepMatches {
  std::vector<Place> found;
  std::vector<size_t> groups;
  uint64_t listed_pair = UINT64_MAX;  // the pair whose list they were found in
  std::vector<Place> others;          // places of that list outside the matches
  size_t entry_count() const { return groups.size() - 1; }
};

// The rewrites of one run of entries, back to back in flat arrays, so that a step allocates per
// run rather than per entry. Each change holds the neighbourhoods of the entry's matches before
// and after the rewrite (context enough for every window that overlaps a match).
struct RunChanges {
  struct Change {
    uint32_t entry;
    size_t old_at, new_at;  // the two neighbourhoods in `tokens`
    size_t windows_at;      // removed windows (over the old one), then added ones (over the new)
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
using ShardLists = std::array<std::vector<FoldItem>, GlobalStats::SHARDS>;

// Per-task scratch of the rewrite stage.
struct RewriteScratch {
  MergeBuffers buffers;
  TokenIds local;  // the neighbourhood of one entry's matches
};

StepMatches find_step_matches(EntryIndex& index, IdSpan parts) {
  StepMatches m;
  m.found = index.matches(parts, m.listed_pair, m.others);
  for (size_t i = 0; i < m.found.size(); ++i) {
    if (i == 0 || m.found[i].entry != m.found[i - 1].entry) m.groups.push_back(i);
  }
  m.groups.push_back(m.found.size());
  return m;
}

// The ids around the matches `ms` of one entry (each k tokens long) into `local`, the match
// starts into `positions`: per cluster of matches, `context` tokens before, the tokens from its
// first match to the end of its last, and `context` after. Windows overlapping a match never
// reach past its cluster's context, so the clusters can sit side by side without creating
// windows that the entry does not hold.
void gather(const EntryIndex& index, std::span<const Place> ms, size_t k, size_t context,
            TokenIds& local, std::vector<uint64_t>& positions) {
  local.clear();
  positions.clear();
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
        positions.push_back(local.size());
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

class MergeStep {
 public:
  MergeStep(IdSpan parts, uint32_t new_id, const MergeStepConfig& config, EntryIndex& index,
            GlobalStats& stats, const HeapOffers& offers)
      : parts_(parts), new_id_(new_id), config_(config), index_(index), stats_(stats),
        offers_(offers) {
    const auto& n = config.n_values;
    context_ = n.empty() ? 0 : *std::max_element(n.begin(), n.end()) - 1;
  }

  void run() {
    matches_ = find_step_matches(index_, parts_);
    for_each_rewritten_entry([&](uint32_t e) { index_.detach(e); });
    serial_ = matches_.found.size() < config_.serial_below;
    const size_t run_count = (matches_.entry_count() + RUN_LEN - 1) / RUN_LEN;
    for (size_t first_run = 0; first_run < run_count; first_run += BATCH_RUNS) {
      std::vector<RunChanges> runs(std::min(BATCH_RUNS, run_count - first_run));
      rewrite(first_run, runs);
      take_new_pairs(runs);
      if (!config_.fold) continue;
      const std::vector<ShardLists> blocks = route(runs);
      fold(blocks);
      offer_touched(blocks);
    }
    // The scan's heap is also offered the merged key itself, whose entry the selection popped.
    if (offers_.heap != nullptr && offers_.rising_only && config_.fold) {
      offers_.heap->push(NgramKey(parts_.begin(), parts_.end()), stats_, *offers_.filter);
    }
    update_index();
  }

 private:
  template <typename F>
  void for_each_rewritten_entry(F&& f) {
    for (size_t g = 0; g < matches_.entry_count(); ++g) f(matches_.found[matches_.groups[g]].entry);
  }

  // Runs `f(i)` for i in [0, n): on the calling thread for a small step (starting parallel
  // work would cost more than doing it), else in parallel on the step's pool.
  template <typename F>
  void for_each_task(size_t n, F&& f) {
    if (serial_) {
      for (size_t i = 0; i < n; ++i) f(i);
    } else {
      run_on(config_.pool, [&] { tbb::parallel_for(size_t{0}, n, f); });
    }
  }

  // Stage 1: rewrites the runs of one batch, one run of RUN_LEN entries per task.
  void rewrite(size_t first_run, std::vector<RunChanges>& runs) {
    tbb::enumerable_thread_specific<RewriteScratch> scratch;
    for_each_task(runs.size(), [&](size_t r) {
      rewrite_run(first_run + r, runs[r], scratch.local());
    });
  }

  void rewrite_run(size_t run, RunChanges& out, RewriteScratch& scratch) {
    const size_t k = parts_.size();
    const TokenIds& local = scratch.local;
    MergeBuffers& buffers = scratch.buffers;
    const size_t end = std::min(matches_.entry_count(), (run + 1) * RUN_LEN);
    for (size_t g = run * RUN_LEN; g < end; ++g) {
      const std::span<const Place> ms(matches_.found.data() + matches_.groups[g],
                                      matches_.groups[g + 1] - matches_.groups[g]);
      gather(index_, ms, k, context_, scratch.local, buffers.positions);
      rewrite_at(local, k, new_id_, config_.n_values, buffers);
      out.changes.push_back(RunChanges::Change{
          ms[0].entry, out.tokens.size(), out.tokens.size() + local.size(), out.windows.size(),
          static_cast<uint32_t>(buffers.removed.size()),
          static_cast<uint32_t>(buffers.added.size())});
      out.tokens.insert(out.tokens.end(), local.begin(), local.end());
      out.tokens.insert(out.tokens.end(), buffers.rewritten.begin(), buffers.rewritten.end());
      out.windows.insert(out.windows.end(), buffers.removed.begin(), buffers.removed.end());
      out.windows.insert(out.windows.end(), buffers.added.begin(), buffers.added.end());
      for (const Place m : ms) index_.merge_at(m, k, new_id_);
      for (const Place m : ms) {
        if (const Place p = index_.prev(m); p.slot != EntryIndex::NONE) {
          out.new_pairs.emplace_back(EntryIndex::pair_of(index_.id(p), new_id_), p);
        }
        if (const Place q = index_.next(m); q.slot != EntryIndex::NONE) {
          out.new_pairs.emplace_back(EntryIndex::pair_of(new_id_, index_.id(q)), m);
        }
      }
    }
  }

  void take_new_pairs(std::vector<RunChanges>& runs) {
    for (RunChanges& run : runs) {
      new_pairs_.insert(new_pairs_.end(), run.new_pairs.begin(), run.new_pairs.end());
      decltype(run.new_pairs)().swap(run.new_pairs);
    }
  }

  // Stage 2: keys of different shards never interact, so the windows are sorted into per-shard
  // lists (blocks of runs in parallel, entry order kept inside each list); a shard then folds
  // its lists in block order.
  std::vector<ShardLists> route(const std::vector<RunChanges>& runs) {
    const size_t block_count = serial_ ? 1 : runs.size();
    std::vector<ShardLists> blocks(block_count);
    for_each_task(block_count, [&](size_t b) {
      for (size_t r = b; r < runs.size(); r += block_count) {
        const RunChanges& run = runs[r];
        for (const RunChanges::Change& c : run.changes) {
          const uint32_t mult = index_.freq(c.entry);
          const Window* w = run.windows.data() + c.windows_at;
          for (uint32_t j = 0; j < c.removed_len + c.added_len; ++j, ++w) {
            const bool add = j >= c.removed_len;
            const uint32_t* seq = run.tokens.data() + (add ? c.new_at : c.old_at);
            const FoldItem item{seq + w->start, w->prehash, w->n, w->count, mult, add};
            blocks[b][stats_.shard_index(item.ids())].push_back(item);
          }
        }
      }
    });
    return blocks;
  }

  // Stage 3.
  void fold(const std::vector<ShardLists>& blocks) {
    for_each_task(GlobalStats::SHARDS, [&](size_t s) {
      StatsMap& shard = stats_.shard(s);
      for (const ShardLists& lists : blocks) {
        for (const FoldItem& item : lists[s]) {
          const Stat change{item.count, uint64_t{item.count} * (item.n - 1)};
          fold_owned_key(shard, item.ids(), change, item.mult, item.add);
        }
      }
    });
  }

  // Stage 4. A key's score can only have risen through an addition, so offering each touched
  // key once after its batch, with the statistics it has then, keeps an entry at or above every
  // key's current score, which is all the heap's pop needs.
  void offer_touched(const std::vector<ShardLists>& blocks) {
    if (offers_.heap == nullptr) return;
    absl::flat_hash_set<NgramKey, SeededHash, IdsEq> touched;
    for (const ShardLists& lists : blocks) {
      for (const auto& list : lists) {
        for (const FoldItem& item : list) {
          const bool rose = item.add && uint64_t{item.count} * item.mult >= 2;
          if ((offers_.rising_only && !rose) || touched.contains(item.ids())) continue;
          NgramKey key(item.key, item.key + item.n);
          touched.insert(key);
          offers_.heap->push(key, stats_, *offers_.filter);
        }
      }
    }
  }

  // The searched pair keeps only the places that still hold it; the new pairs are listed.
  // Rewritten entries that became equal to another are merged into it (never when every entry
  // spells its own text).
  void update_index() {
    index_.relist(matches_.listed_pair, std::move(matches_.others));
    for (const auto& [pair, place] : new_pairs_) index_.list_pair(pair, place);
    index_.after_step(matches_.found.size() * (parts_.size() - 1));
    for_each_rewritten_entry([&](uint32_t e) { index_.reattach(e); });
  }

  const IdSpan parts_;
  const uint32_t new_id_;
  const MergeStepConfig& config_;
  EntryIndex& index_;
  GlobalStats& stats_;
  const HeapOffers& offers_;
  size_t context_ = 0;
  bool serial_ = true;
  StepMatches matches_;
  std::vector<std::pair<uint64_t, Place>> new_pairs_;
};

}  // namespace

void merge_step(IdSpan parts, uint32_t new_id, const MergeStepConfig& config, EntryIndex& index,
                GlobalStats& stats, const HeapOffers& offers) {
  if (parts.empty()) return;
  MergeStep(parts, new_id, config, index, stats, offers).run();
}

}  // namespace zelkor
