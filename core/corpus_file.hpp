// Reading a corpus text file: one sentence per line, blank lines dropped. Tested by
// corpus_file_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace zelkor {

struct CorpusLines {
  std::vector<std::string> lines;  // kept lines, in file order, exactly as read
  uint64_t total_chars = 0;        // scalar values of the kept lines
};

// Lines end at "\n" (one "\r" before it is removed too); a last line without "\n" is kept as
// is. Lines that are empty or only White_Space are dropped. Errors: the open or read error
// ("... (os error N)"), "stream did not contain valid UTF-8" for a line that is not UTF-8, or
// Error::interrupted() when asked to stop (between reads, or while a read waits).
Result<CorpusLines> read_corpus_lines(const std::string& path);

}  // namespace zelkor
