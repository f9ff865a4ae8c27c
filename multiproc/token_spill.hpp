// The distinct symbols of the counted corpus lines, found through disk: every symbol occurrence
// goes to one of 2048 text files chosen by a hash of the symbol (so each symbol lands in one
// file), and each file is read back into a set of its own, in parallel. The files live in a
// private directory of the call under the system temporary directory, removed on every path.
// Tested by preprocess_mp_test.cpp.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/corpus.hpp"
#include "core/error.hpp"
#include "core/hash.hpp"

namespace zelkor::mp {

inline constexpr uint64_t SPILL_FILES = 2048;

// The spill directory's name: "zk_tok_buckets_{pid}_{N}", N the bits of the single-precision
// seconds since the call began read as an unsigned integer, plus `attempt` when earlier names
// were taken.
std::string spill_dir_name(pid_t pid, float elapsed, unsigned attempt = 0);

// The distinct lines of one spill file, a carriage return before a line feed dropped; an empty
// file is logged at debug level. Errors: the file cannot be opened or read, or is not UTF-8.
Result<StringSet> read_bucket_sets(const std::string& path, std::chrono::steady_clock::time_point t0);

// Every distinct symbol of the keys of `maps`, each once, in no particular order: spilled to the 2048 files
// of a fresh private directory (the "token spill" log lines), read back and deduplicated per file
// ("token buckets dedup done"). `t0` is the start of the call. The directory is gone when this
// returns, whatever it returns.
Result<std::vector<std::string>> distinct_symbols(std::span<const SeqCounts> maps,
                                                  std::chrono::steady_clock::time_point t0);

}  // namespace zelkor::mp
