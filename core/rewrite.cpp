// The per-sequence rewrite.
#include "core/rewrite.hpp"

namespace zelkor {

void find_matches(IdSpan tokens, IdSpan parts, std::vector<uint64_t>& positions) {
  positions.clear();
  const size_t len = tokens.size(), k = parts.size();
  if (k == 0 || len < k) return;
  const uint32_t first = parts[0];
  for (size_t i = 0; i + k <= len;) {
    // Test the first id before the rest: most positions fail there.
    bool match = tokens[i] == first;
    for (size_t j = 1; match && j < k; ++j) match = tokens[i + j] == parts[j];
    if (match) {
      positions.push_back(i);
      i += k;
    } else {
      ++i;
    }
  }
}

bool rewrite_sequence(IdSpan tokens, IdSpan parts, uint32_t new_id,
                      std::span<const uint64_t> n_values, MergeBuffers& buffers) {
  buffers.new_positions.clear();
  buffers.rewritten.clear();
  buffers.removed.clear();
  buffers.added.clear();
  find_matches(tokens, parts, buffers.positions);
  if (buffers.positions.empty()) return false;
  rewrite_at(tokens, parts.size(), new_id, n_values, buffers);
  return true;
}

void rewrite_at(IdSpan tokens, size_t k, uint32_t new_id, std::span<const uint64_t> n_values,
                MergeBuffers& buffers) {
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

}  // namespace zelkor
