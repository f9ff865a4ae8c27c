// The parent's readers of a merge step's files: a worker's diff manifest, its bits as bucket
// indices, one bucket file added into a map (short records tolerated as the writer's rules
// allow), and the two parallel readers over a list of buckets, which delete every file they
// parse. Tested by bucket_readers_test.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"

namespace zelkor::mp {

// Which bucket files one worker wrote in a step.
struct DiffManifest {
  std::vector<uint8_t> old_bits, new_bits;  // ceil(buckets / 8) bytes each
};

// `dir`/diff_manifest.bin when it is complete and says `buckets`; nothing otherwise (never an
// error: without a manifest every bucket is read).
std::optional<DiffManifest> read_diff_manifest(const std::string& dir, uint64_t buckets);

// The ascending indices below `buckets` whose bits are set (bit b is bit b % 8 of byte b / 8).
std::vector<uint64_t> diff_bits_to_indices(std::span<const uint8_t> bits, uint64_t buckets);

// Adds the records of one bucket file into `stats` (sums wrap). Errors: the file cannot be
// opened or read, or is shorter than its 8-byte count. Records that end early stop the reading
// without an error, keeping those before. True when the header count is not zero.
Result<bool> read_bucket_file_into(const std::string& path, StatsMap& stats);

// One bucket's old and new statistics over all workers, and whether any file read for it
// declared records.
struct BucketDiff {
  StatsMap old_stats, new_stats;
  bool had_records = false;
};

// The workers' directories and manifests of one step; the manifests count only when `usable`
// (every worker's manifest was read), and then decide which files are read.
struct StepFiles {
  std::span<const std::string> worker_dirs;
  std::span<const std::optional<DiffManifest>> manifests;
  bool usable = false;
};

// Per bucket of `buckets`, in that order, read on the default pool; files read are deleted. A
// missing file holds no records, and one shorter than its count is skipped; any other failure to
// open or read a file is the error (a lost file would silently lose the step's changes).
Result<std::vector<BucketDiff>> read_bucket_diffs(std::span<const uint64_t> buckets, const StepFiles& files);

// The same reads, deletions and errors, everything added into one old and one new map.
Result<BucketDiff> merge_bucket_diffs(std::span<const uint64_t> buckets, const StepFiles& files);

// MP_BUCKET_BATCH: buckets read per batch, min(value, 8192) with 0 taken as 1; 256 otherwise.
uint64_t bucket_batch_size();

}  // namespace zelkor::mp
