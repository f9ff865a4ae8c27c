// The rewrite of one sequence by a merge: greedy, non-overlapping matches of the merged key from
// the left, each replaced by the new id, with the windows the rewrite destroys and creates.
// The single-process merge step runs it on the neighbourhoods of its matches; a worker process
// runs it on whole sequences. Tested by merge_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/windows.hpp"

namespace zelkor {

// Scratch space for rewriting many sequences on one task; reused, cleared per sequence.
struct MergeBuffers {
  std::vector<uint64_t> positions;      // match starts in the old sequence
  std::vector<uint64_t> new_positions;  // positions of the new token in the rewritten sequence
  TokenIds rewritten;
  std::vector<Window> removed;  // windows of the old sequence that overlap a match
  std::vector<Window> added;    // windows of `rewritten` that hold a new token
};

// The starts of the greedy, non-overlapping matches of `parts` in `tokens`, into `positions`.
void find_matches(IdSpan tokens, IdSpan parts, std::vector<uint64_t>& positions);

// Rewrites `tokens` at its matches of `parts` into buffers.rewritten and lists the destroyed
// and created windows (one Window per distinct n-gram). Returns false, with buffers.rewritten
// empty, when nothing matches.
bool rewrite_sequence(IdSpan tokens, IdSpan parts, uint32_t new_id,
                      std::span<const uint64_t> n_values, MergeBuffers& buffers);

// rewrite_sequence after its matching: rewrites `tokens` at buffers.positions (ascending,
// non-overlapping starts of k-id matches) and lists the windows.
void rewrite_at(IdSpan tokens, size_t k, uint32_t new_id, std::span<const uint64_t> n_values,
                MergeBuffers& buffers);

}  // namespace zelkor
