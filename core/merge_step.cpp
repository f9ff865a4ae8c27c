// The merge step. Its occurrences are found through the entry index (greedy, left to right, per
// entry); runs of entries are then rewritten a batch at a time, which bounds what a step holds
// (the first steps rewrite most entries): for each entry, the windows lost and gained around its
// matches are listed from a small neighbourhood of them, its slots are rewritten in place, and
// the pairs the new tokens form with their neighbours are noted. Each batch goes to the sink;
// afterwards the index lists the new pairs and merges entries that became equal. Entries keep
// their places, so the order of the changes depends neither on hash seeds nor on thread count.
#include "core/merge_step.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "core/ceil_div.hpp"
#include "core/rewrite.hpp"

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
            ChangeSink* sink)
      : parts_(parts), new_id_(new_id), config_(config), index_(index), sink_(sink) {
    const auto& n = config.n_values;
    context_ = n.empty() ? 0 : *std::max_element(n.begin(), n.end()) - 1;
  }

  size_t run() {
    matches_ = find_step_matches(index_, parts_);
    for_each_rewritten_entry([&](uint32_t e) { index_.detach(e); });
    serial_ = matches_.found.size() < config_.serial_below;
    const size_t run_count = ceil_div(matches_.entry_count(), RUN_LEN);
    for (size_t first_run = 0; first_run < run_count; first_run += BATCH_RUNS) {
      std::vector<ChangeRun> runs(std::min(BATCH_RUNS, run_count - first_run));
      rewrite(first_run, runs);
      take_new_pairs(runs);
      if (sink_ != nullptr) sink_->take(ChangeBatch{runs, serial_, config_.pool});
    }
    if (sink_ != nullptr) sink_->finish(parts_);
    update_index();
    return matches_.entry_count();
  }

 private:
  template <typename F>
  void for_each_rewritten_entry(F&& f) {
    for (size_t g = 0; g < matches_.entry_count(); ++g) f(matches_.found[matches_.groups[g]].entry);
  }

  template <typename F>
  void for_each_task(size_t n, F&& f) {
    ChangeBatch{{}, serial_, config_.pool}.for_each_task(n, std::forward<F>(f));
  }

  // Rewrites the runs of one batch, one run of RUN_LEN entries per task.
  void rewrite(size_t first_run, std::vector<ChangeRun>& runs) {
    tbb::enumerable_thread_specific<RewriteScratch> scratch;
    for_each_task(runs.size(), [&](size_t r) {
      rewrite_run(first_run + r, runs[r], scratch.local());
    });
  }

  void rewrite_run(size_t run, ChangeRun& out, RewriteScratch& scratch) {
    const size_t k = parts_.size();
    const TokenIds& local = scratch.local;
    MergeBuffers& buffers = scratch.buffers;
    const size_t end = std::min(matches_.entry_count(), (run + 1) * RUN_LEN);
    for (size_t g = run * RUN_LEN; g < end; ++g) {
      const std::span<const Place> ms(matches_.found.data() + matches_.groups[g],
                                      matches_.groups[g + 1] - matches_.groups[g]);
      if (sink_ != nullptr) {  // the windows only a sink reads
        gather(index_, ms, k, context_, scratch.local, buffers.positions);
        rewrite_at(local, k, new_id_, config_.n_values, buffers);
        out.changes.push_back(ChangeRun::Change{
            ms[0].entry, index_.freq(ms[0].entry), out.tokens.size(),
            out.tokens.size() + local.size(), out.windows.size(),
            static_cast<uint32_t>(buffers.removed.size()),
            static_cast<uint32_t>(buffers.added.size())});
        out.tokens.insert(out.tokens.end(), local.begin(), local.end());
        out.tokens.insert(out.tokens.end(), buffers.rewritten.begin(), buffers.rewritten.end());
        out.windows.insert(out.windows.end(), buffers.removed.begin(), buffers.removed.end());
        out.windows.insert(out.windows.end(), buffers.added.begin(), buffers.added.end());
      }
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

  void take_new_pairs(std::vector<ChangeRun>& runs) {
    for (ChangeRun& run : runs) {
      new_pairs_.insert(new_pairs_.end(), run.new_pairs.begin(), run.new_pairs.end());
      decltype(run.new_pairs)().swap(run.new_pairs);
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
  ChangeSink* sink_;
  size_t context_ = 0;
  bool serial_ = true;
  StepMatches matches_;
  std::vector<std::pair<uint64_t, Place>> new_pairs_;
};

}  // namespace

size_t merge_step(IdSpan parts, uint32_t new_id, const MergeStepConfig& config, EntryIndex& index,
                  ChangeSink* sink) {
  if (parts.empty()) return 0;
  return MergeStep(parts, new_id, config, index, sink).run();
}

}  // namespace zelkor
