// Windows: the runs of n consecutive ids of a sequence, for every n of the counted sizes. One
// loop visits them for every counter (the full recount, a worker's per-sequence count); the
// listing of the windows that overlap given spans serves the rewrite of a merge step. Tested by
// stats_test.cpp and merge_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace zelkor {

// Calls f(window, n) for every window of `seq`: each n of `n_values` in order, starts ascending.
// Sizes longer than the sequence (and 0) have no windows.
template <typename F>
void for_each_window(IdSpan seq, std::span<const uint64_t> n_values, F&& f) {
  for (uint64_t n : n_values) {
    if (n == 0 || n > seq.size()) continue;
    for (size_t s = 0; s + n <= seq.size(); ++s) f(seq.subspan(s, n), n);
  }
}

// Distinct windows of one sequence: `count` windows of length `n` hold the ids at
// [start, start + n) of that sequence.
struct Window {
  uint32_t start;
  uint32_t n;
  uint32_t count;
  uint64_t prehash;  // prehash_ids of the n-gram
};

// The windows of every n of `n_values` over `seq` that overlap [p, p + k) for some p of the
// ascending `positions`, equal n-grams merged into one Window, into `out` (cleared first).
void list_windows(std::vector<Window>& out, IdSpan seq, std::span<const uint64_t> positions,
                  std::span<const uint64_t> n_values, uint64_t k);

// The unweighted statistics of `windows` over `seq`.
StatsMap window_stats(std::span<const Window> windows, IdSpan seq);

}  // namespace zelkor
