// What a training worker holds between requests (its share of the sequences and the n-gram
// sizes) and its two passes, the sizing of their parallel work, and the worker's process-wide
// thread pool. Tested by worker_test.cpp and tests/python/test_worker.py.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/entry_index.hpp"
#include "core/pool.hpp"
#include "core/types.hpp"
#include "multiproc/protocol.hpp"

namespace zelkor::mp {

// The entries stay as Init gave them until the first merge, which moves them into an index of
// where each adjacent pair occurs: a step then touches only the entries that hold the key.
class WorkerState {
 public:
  WorkerState(std::vector<SeqEntry> entries, std::vector<uint64_t> n_values)
      : entries_(std::move(entries)), n_values_(std::move(n_values)) {}

  // WORKER_THREADS (0 taken as 1), else the online processors (at least 1).
  static uint64_t worker_threads();
  // WORKER_CHUNK raised to 1024, else entry_count / (threads * 4) clamped to 8192..20000.
  static uint64_t worker_chunk(uint64_t entry_count, uint64_t threads);

  size_t entry_count() const { return index_ ? index_->live_entries() : entries_.size(); }
  // A copy of the entries.
  std::vector<SeqEntry> entries() const { return index_ ? index_->snapshot() : entries_; }

  // The statistics pass (worker_stats.cpp): every window of every entry, weighted per sequence,
  // keys whose weighted count in one sequence is at most 1 dropped.
  StatsMap compute_stats() const;

  // The merge pass (worker_merge.cpp): every entry holding the key rewritten, equal entries
  // merged, and with use_diff the step's bucket files and manifest written; replies with the new
  // entry count, or refuses a bucket count that is not a power of two up to 2^32.
  WorkerResponse apply_merge(const ApplyMerge& request);

 private:
  std::vector<SeqEntry> entries_;
  std::unique_ptr<EntryIndex> index_;
  std::vector<uint64_t> n_values_;
};

// WORKER_POOL: built on first use with worker_threads() threads, then kept for the process; a
// pool that cannot be built is the fault "build worker rayon pool".
ThreadPool& worker_pool();

}  // namespace zelkor::mp
