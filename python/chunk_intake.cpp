// The chunk loop of the streaming training functions.
#include "python/chunk_intake.hpp"

#include <algorithm>

#include "core/interrupt.hpp"
#include "core/unicode.hpp"
#include "python/py_util.hpp"

namespace zelkor::py {
namespace {

// Adds every count of `chunk` (consumed) into `global`, saturating at 2^32 - 1.
void merge_counts_into(SeqCounts& global, SeqCounts&& chunk) {
  for (auto it = chunk.begin(); it != chunk.end();) {
    auto node = chunk.extract(it++);
    uint32_t& slot = global.try_emplace(std::move(node.key()), 0u).first->second;
    slot = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{slot} + node.mapped(), UINT32_MAX));
  }
}

}  // namespace

ChunkIntake::ChunkIntake(ThreadPool& pool, uint64_t chunk_size, uint64_t max_docs)
    : pool_(pool), chunk_size_(chunk_size), max_docs_(max_docs) {
  chunk_.reserve(std::min<uint64_t>(chunk_size, 1 << 20));
}

PyResult<bool> ChunkIntake::feed(std::string_view text) {
  // Iterators written in C (a list, itertools) run no bytecode, so nothing else sees a Ctrl-C.
  if (auto go_on = check_interrupt(); !go_on) return std::unexpected(Failure(go_on.error()));
  if (trim_white_space(text).empty()) return true;
  uint64_t chars = utf8_count(text);
  total_chars_ = chars > UINT64_MAX - total_chars_ ? UINT64_MAX : total_chars_ + chars;
  chunk_.emplace_back(text);
  ++docs_;
  if (max_docs_ != 0 && docs_ >= max_docs_) return false;
  if (chunk_.size() >= chunk_size_) count_chunk();
  return true;
}

SeqCounts ChunkIntake::finish() {
  if (!chunk_.empty()) count_chunk();
  return std::move(counts_);
}

void ChunkIntake::count_chunk() {
  std::vector<std::string> texts = std::move(chunk_);
  chunk_.clear();
  SeqCounts counted;
  {
    GilRelease unlocked;
    counted = build_counts_chunk(pool_, texts);
  }
  merge_counts_into(counts_, std::move(counted));
}

}  // namespace zelkor::py
