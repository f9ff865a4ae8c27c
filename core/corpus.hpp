// Corpus counting: normalised lines counted into a sequence count map, in parallel, and the
// merge rule of two such maps. The trainer-building operations (Zelkor::build_vocab,
// Zelkor::from_counts) are in trainer.hpp. Tested by corpus_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/hash.hpp"
#include "core/pool.hpp"

namespace zelkor {

// Sequence count map: one normalised line (every character of every word, U+0120 after each
// word), held as its UTF-8 text, to the number of lines that normalise to it. The empty text is
// the key of lines without any word.
using SeqCounts = StringMap<uint32_t>;

// Counts `lines` inside `pool` (pieces of lines on the pool's threads, merged pairwise).
SeqCounts build_counts_chunk(ThreadPool& pool, std::span<const std::string> lines);

// Adds every count of `right` (consumed) into `left`, wrapping at 2^32; returns the sum.
SeqCounts merge_sequence_counts(SeqCounts&& left, SeqCounts&& right);

}  // namespace zelkor
