// The files of one worker's merge step: per-bucket files of (key, Stat) records written through a
// buffered writer whose header count is patched at the end, and the diff manifest ("ZKMF", the
// bucket count, the old bits and the new bits). Files are private to the training user (0600,
// directories 0700). Tested by worker_test.cpp and tests/python/test_worker.py.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_io.hpp"
#include "core/types.hpp"

namespace zelkor::mp {

// The records of one bucket file, collected in memory during a step and written at its end, so a
// worker never holds more than one file open (a step may touch every bucket).
class BucketRecords {
 public:
  // Appends one record: key length (u64), ids (u32 each), freq (u32), score (u64).
  void add(IdSpan key, const Stat& stat);
  bool empty() const { return count_ == 0; }
  // Creates or truncates `path` (0600) with the record count and the records. Failures are the
  // faults "create bucket file" and "write bucket record": a worker that loses records must not
  // report the step as done.
  void write_file(const std::string& path) const;

 private:
  std::string bytes_;
  uint64_t count_ = 0;
};

// The name prefix of a merge step's directory (the parent's "zk_apply_{pid}_{nanos}").
inline constexpr std::string_view STEP_DIR_PREFIX = "zk_apply_";

// What a worker leaves of the step it last wrote when its parent is gone without cleaning up
// (killed): `dir` and its files when it is still this user's directory (never a link), then its
// parent when that is an empty step directory. Failures are ignored.
void remove_abandoned_step_dir(const std::string& dir);

// `dir`/"old_{bucket}.bin" or "new_{bucket}.bin" (`kind` is "old" or "new").
std::string bucket_file_path(const std::string& dir, const char* kind, uint64_t bucket);

// The manifest bytes for `buckets` buckets: "ZKMF", the low 32 bits of the count, old bits, new
// bits (bit b is bit b % 8 of byte b / 8).
std::string diff_manifest_bytes(uint64_t buckets, const std::vector<uint8_t>& old_bits,
                                const std::vector<uint8_t>& new_bits);

// Writes `dir`/diff_manifest.bin (0600); failure is the fault "write diff manifest".
void write_diff_manifest(const std::string& dir, uint64_t buckets,
                         const std::vector<uint8_t>& old_bits, const std::vector<uint8_t>& new_bits);

}  // namespace zelkor::mp
