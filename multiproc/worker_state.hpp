// What a training worker holds between requests (its share of the sequences and the n-gram
// sizes), the sizing of its parallel passes, and its process-wide thread pool. Tested by
// worker_test.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "core/pool.hpp"
#include "core/types.hpp"
#include "multiproc/protocol.hpp"

namespace zelkor::mp {

struct WorkerState {
  std::vector<SeqEntry> entries;
  std::vector<uint64_t> n_values;

  // WORKER_THREADS (0 taken as 1), else the online processors (at least 1).
  static uint64_t worker_threads();
  // WORKER_CHUNK raised to 1024, else entry_count / (threads * 4) clamped to 8192..20000.
  static uint64_t worker_chunk(uint64_t entry_count, uint64_t threads);

  // The statistics pass: every window of every entry, weighted per sequence, keys whose
  // weighted count in one sequence is at most 1 dropped (worker_stats.cpp).
  StatsMap compute_stats() const;
};

// The merge pass (worker_merge.cpp): rewrites the state's entries, merges equal ones, writes the
// step's bucket files and manifest when asked; replies with the new entry count.
WorkerResponse worker_apply_merge(WorkerState& state, const ApplyMerge& request);

// WORKER_POOL: built on first use with worker_threads() threads, then kept for the process; a
// pool that cannot be built is the fault "build worker rayon pool".
ThreadPool& worker_pool();

}  // namespace zelkor::mp
