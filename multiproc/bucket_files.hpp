// The files of one worker's merge step: per-bucket files of (key, Stat) records written through a
// buffered writer whose header count is patched at the end, and the diff manifest ("ZKMF", the
// bucket count, the old bits and the new bits). Files are private to the training user (0600,
// directories 0700). Tested by worker_test.cpp and tests/python/test_worker.py.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/file_io.hpp"
#include "core/types.hpp"

namespace zelkor::mp {

// One bucket file being written. Write failures are the fault "write bucket record", since a
// worker that loses records must not report the step as done.
class BucketWriter {
 public:
  // Creates or truncates `path` (0600) with a zero record count; failure is the fault
  // "create bucket file".
  static BucketWriter create(const std::string& path);

  // Appends one record: key length (u64), ids (u32 each), freq (u32), score (u64).
  void write_record(IdSpan key, const Stat& stat);
  // Flushes what is buffered and writes the record count into the header.
  void finalize();

 private:
  explicit BucketWriter(File file) : file_(std::move(file)) {}
  void flush();

  File file_;
  std::string buffer_;
  uint64_t count_ = 0;
};

// The manifest bytes for `buckets` buckets: "ZKMF", the low 32 bits of the count, old bits, new
// bits (bit b is bit b % 8 of byte b / 8).
std::string diff_manifest_bytes(uint64_t buckets, const std::vector<uint8_t>& old_bits,
                                const std::vector<uint8_t>& new_bits);

// Writes `dir`/diff_manifest.bin (0600); failure is the fault "write diff manifest".
void write_diff_manifest(const std::string& dir, uint64_t buckets,
                         const std::vector<uint8_t>& old_bits, const std::vector<uint8_t>& new_bits);

// Creates `dir` and its missing parents with mode 0700; false when it could not.
bool make_private_dirs(const std::string& dir);

}  // namespace zelkor::mp
