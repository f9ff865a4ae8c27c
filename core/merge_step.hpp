// One merge step over an EntryIndex: every occurrence of the chosen key rewritten to its new id
// in place, the windows each rewritten entry loses and gains handed to a sink a batch at a time,
// the occurrence lists brought up to date. The single-process sink folds them into the
// statistics (stats_fold.hpp); a worker process writes them to its bucket files. Tested by
// merge_test.cpp (against the naive model, serial and parallel) and train_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/parallel_for.h>

#include "core/entry_index.hpp"
#include "core/pool.hpp"
#include "core/windows.hpp"

namespace zelkor {

// One window that a step removed from (add false) or added to (add true) one entry: `count`
// occurrences of the n ids at `key`, in an entry of count `mult`.
struct WindowChange {
  const uint32_t* key;
  uint64_t prehash;
  uint32_t n;
  uint32_t count;
  uint32_t mult;
  bool add;
  PrehashedIds ids() const { return PrehashedIds(IdSpan(key, n), prehash); }
  Stat unweighted() const { return Stat{count, uint64_t{count} * (n - 1)}; }
};

// The rewrites of one run of entries, back to back in flat arrays, so that a step allocates per
// run rather than per entry. Each change holds the neighbourhoods of the entry's matches before
// and after the rewrite (context enough for every window that overlaps a match).
struct ChangeRun {
  struct Change {
    uint32_t entry;
    uint32_t mult;          // the entry's count
    size_t old_at, new_at;  // the two neighbourhoods in `tokens`
    size_t windows_at;      // removed windows (over the old one), then added ones (over the new)
    uint32_t removed_len, added_len;
  };
  std::vector<uint32_t> tokens;
  std::vector<Window> windows;
  std::vector<Change> changes;
  std::vector<std::pair<uint64_t, EntryIndex::Place>> new_pairs;  // occurrences created

  // Calls f(const WindowChange&) for every window change of the run, in entry order.
  template <typename F>
  void for_each_change(F&& f) const {
    for (const Change& c : changes) {
      const Window* w = windows.data() + c.windows_at;
      for (uint32_t j = 0; j < c.removed_len + c.added_len; ++j, ++w) {
        const bool add = j >= c.removed_len;
        const uint32_t* seq = tokens.data() + (add ? c.new_at : c.old_at);
        f(WindowChange{seq + w->start, w->prehash, w->n, w->count, c.mult, add});
      }
    }
  }
};

// A batch of a step's runs, in entry order, with the way its tasks run.
struct ChangeBatch {
  std::span<const ChangeRun> runs;
  bool serial;       // a small step: everything on the calling thread
  ThreadPool* pool;  // otherwise parallel here (null: the calling thread's pool)

  // Runs f(i) for i in [0, n), serially or in parallel as the step does.
  template <typename F>
  void for_each_task(size_t n, F&& f) const {
    if (serial) {
      for (size_t i = 0; i < n; ++i) f(i);
    } else {
      run_on(pool, [&] { tbb::parallel_for(size_t{0}, n, f); });
    }
  }
};

// Where a step's window changes go: take() once per batch, in order; finish() after the last.
class ChangeSink {
 public:
  virtual ~ChangeSink() = default;
  virtual void take(const ChangeBatch& batch) = 0;
  virtual void finish(IdSpan /*parts*/) {}
};

struct MergeStepConfig {
  std::span<const uint64_t> n_values;
  ThreadPool* pool = nullptr;  // where parallel stages run; null: the calling thread's pool
  size_t serial_below = 512;   // steps with fewer matches run on the calling thread
};

// Rewrites every greedy, non-overlapping occurrence of `parts` (one id or more) in the entries of
// `index` into `new_id`, handing each rewritten entry's lost and gained windows to `sink` (none:
// the windows are not listed). Rewritten entries that became equal to another are merged.
// Returns the number of rewritten entries. Call from one thread.
size_t merge_step(IdSpan parts, uint32_t new_id, const MergeStepConfig& config, EntryIndex& index,
                  ChangeSink* sink);

}  // namespace zelkor
