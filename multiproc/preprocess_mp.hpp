// Corpus counting on short-lived worker processes (the multi_process branch of build_vocab): the
// lines are cut into chunks, each counted by a worker of its own (Preprocess -> PreStats ->
// Shutdown), the counts gathered into bucket maps and reduced to one map; the distinct symbols
// are found through a spill to disk (token_spill.hpp) and numbered in ascending byte order, so
// ids do not depend on the number of workers or buckets. Tested by preprocess_mp_test.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/corpus.hpp"
#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/trainer.hpp"
#include "multiproc/child_process.hpp"
#include "multiproc/in_flight.hpp"

namespace zelkor::mp {

// The numbers of one call for `lines` corpus lines.
struct PreprocessPlan {
  uint64_t workers;     // W: num_workers, or the online processors when 0
  uint64_t chunk_size;  // S: ceil(lines / W) clamped to 4000..20000
  uint64_t chunks;      // K: ceil(lines / S)
  uint64_t buckets;     // B: preprocess_bucket_count(W) (reads MP_BUCKETS)
};
PreprocessPlan preprocess_plan(uint64_t lines, uint64_t num_workers);

// B sequence count maps; a key belongs to map (its hash AND (B - 1)) under the call's hasher, so
// with B not a power of two some maps stay empty.
using BucketMaps = std::vector<SeqCounts>;

// Counts one chunk in a worker started by `command` and adds the counts into `maps` (wrapping
// at 2^32; a key repeated in the reply keeps its last count). Errors: the start's I/O error, the
// frame errors tagged "worker:preprocess", "unexpected preprocess reply: {reply}". The worker
// is reaped on every path, and held in `in_flight` while it lives.
Result<void> preprocess_chunk_in_worker(std::span<const std::string> chunk, const WorkerCommand& command,
                                        BucketMaps& maps, const SeededHash& bucket_hash,
                                        InFlightWorkers& in_flight);

// Adds map i of `right` into map i of `left` for every i (merge_sequence_counts); returns `left`.
BucketMaps merge_bucket_count_maps(BucketMaps&& left, BucketMaps&& right);

// Replaces the sequences and the vocabulary of `trainer` by those of `lines`, counted by workers
// started with `command`, with the "build_vocab_mp" log lines. On an error the trainer is as it
// was, every worker has ended and no spill directory is left. A thread pool that cannot be built
// is the Fault "build rayon pool for preprocess map". When the interrupt hook of the calling
// thread says stop while the workers count, they are killed and the call ends with its error.
Result<void> build_vocab_multiprocess(Zelkor& trainer, std::span<const std::string> lines,
                                      const WorkerCommand& command);

}  // namespace zelkor::mp
