// ChunkIntake: texts pulled from Python collected in chunks; each full chunk is counted on the
// call's pool with the interpreter lock released and added into one count map (saturating), so
// memory holds one chunk and the counts, never the corpus.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/corpus.hpp"
#include "core/pool.hpp"
#include "python/failure.hpp"

namespace zelkor::py {

// Call from the thread that holds the interpreter lock.
class ChunkIntake {
 public:
  ChunkIntake(ThreadPool& pool, uint64_t chunk_size, uint64_t max_docs);

  // Takes one text; blank texts are skipped. False once max_docs texts are kept (0: no limit);
  // the interrupt's Failure when a signal handler raised (signal_check.hpp).
  PyResult<bool> feed(std::string_view text);

  // Counts what is left; the counts and character total of everything kept.
  SeqCounts finish();
  uint64_t total_chars() const { return total_chars_; }

 private:
  void count_chunk();

  ThreadPool& pool_;
  const uint64_t chunk_size_;
  const uint64_t max_docs_;
  std::vector<std::string> chunk_;
  SeqCounts counts_;
  uint64_t docs_ = 0;
  uint64_t total_chars_ = 0;
};

}  // namespace zelkor::py
