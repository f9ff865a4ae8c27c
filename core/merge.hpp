// Merge application: the window rule shared with the worker merge pass (collect_starts) and the
// rewrite of one sequence with the statistics of the windows it loses and gains.
// Zelkor::apply_merge (trainer.hpp) applies them around every occurrence of a key. Tested by
// merge_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace zelkor {

// For each n of n_values (in order, each present even when empty): the ascending, duplicate-free
// starts of the windows of length n that overlap a span [p, p + k) for some p of `positions`
// and fit in a sequence of `seq_len` ids. Empty when `positions` is empty.
using StartsMap = std::vector<std::pair<uint64_t, std::vector<uint64_t>>>;
StartsMap collect_starts(uint64_t seq_len, std::span<const uint64_t> positions,
                         std::span<const uint64_t> n_values, uint64_t k);

// Distinct windows of one sequence: `count` windows of length `n` hold the ids at
// [start, start + n) of that sequence.
struct Window {
  uint32_t start;
  uint32_t n;
  uint32_t count;
  uint64_t prehash;  // prehash_ids of the n-gram
};

// Scratch space for rewriting many entries on one task; reused, cleared per entry.
struct MergeBuffers {
  std::vector<uint64_t> positions;      // match starts in the old sequence
  std::vector<uint64_t> new_positions;  // positions of the new token in the rewritten sequence
  TokenIds rewritten;
  std::vector<Window> removed;  // windows of the old sequence that the rewrite destroys
  std::vector<Window> added;    // windows of buffers.rewritten that it creates
  TokenIds local;               // apply_merge: the neighbourhood of one entry's matches
};

// Rewrites `tokens` (greedy, non-overlapping matches of `parts` from the left) into
// buffers.rewritten and lists the destroyed and created windows, one Window per distinct
// n-gram, in buffers.removed and buffers.added. Returns false (buffers.rewritten left empty)
// when nothing matches.
bool rewrite_sequence(std::span<const uint32_t> tokens, std::span<const uint32_t> parts,
                      uint32_t new_id, std::span<const uint64_t> n_values, MergeBuffers& buffers);

// rewrite_sequence after its matching: rewrites `tokens` at buffers.positions (ascending,
// non-overlapping starts of k-id matches) and lists the windows as rewrite_sequence does.
void rewrite_at(std::span<const uint32_t> tokens, size_t k, uint32_t new_id,
                std::span<const uint64_t> n_values, MergeBuffers& buffers);

// The change set of one entry: its rewritten tokens (the old ones when nothing matches), the
// window statistics moved out of `buffers`, and the entry's count.
EntryDelta compute_entry_deltas(SeqEntry&& entry, std::span<const uint32_t> parts, uint32_t new_id,
                                std::span<const uint64_t> n_values, MergeBuffers& buffers);

}  // namespace zelkor
