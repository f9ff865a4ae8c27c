// The worker message protocol: the requests the parent sends a worker and the responses it gets,
// their little-endian body layout (exact sizes, computed before encoding), the decoder with its
// error texts and bounded reservations, and the debug rendering of a response.
// Tested by protocol_test.cpp and fuzzed by tests/fuzz/frame_decode_fuzz.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"

namespace zelkor::mp {

// Requests, in variant-index order.
struct Init {
  std::vector<SeqEntry> entries;  // this worker's share
  std::vector<uint64_t> n_values;
  bool operator==(const Init&) const = default;
};
struct Preprocess {
  std::vector<std::string> texts;  // raw corpus lines
  bool operator==(const Preprocess&) const = default;
};
struct ComputeStats {
  bool operator==(const ComputeStats&) const = default;
};
struct ApplyMerge {
  TokenIds parts;
  uint32_t new_id = 0;
  bool recompute_each_step = false;  // travels, changes nothing
  bool use_diff = false;
  uint64_t buckets = 0;  // a power of two
  std::string dir;       // this worker's directory for the step
  bool operator==(const ApplyMerge&) const = default;
};
struct DumpEntries {
  bool operator==(const DumpEntries&) const = default;
};
struct Shutdown {
  bool operator==(const Shutdown&) const = default;
};
using WorkerRequest = std::variant<Init, Preprocess, ComputeStats, ApplyMerge, DumpEntries, Shutdown>;

// One counted corpus line: its normalised text (every element one character; on the wire a list
// of one-character strings) and its count.
using WordSeqCount = std::pair<std::string, uint32_t>;

// Responses, in variant-index order.
struct Ack {
  bool operator==(const Ack&) const = default;
};
struct PreStats {
  std::vector<WordSeqCount> stats;
  bool operator==(const PreStats&) const = default;
};
struct Stats {
  StatsMap stats;
  bool operator==(const Stats&) const = default;
};
struct ApplyResult {
  uint64_t entry_count = 0;
  bool operator==(const ApplyResult&) const = default;
};
struct Entries {
  std::vector<SeqEntry> entries;
  bool operator==(const Entries&) const = default;
};
struct ErrorReply {
  std::string message;
  bool operator==(const ErrorReply&) const = default;
};
using WorkerResponse = std::variant<Ack, PreStats, Stats, ApplyResult, Entries, ErrorReply>;

// The exact body size of a message.
uint64_t body_size(const WorkerRequest& message);
uint64_t body_size(const WorkerResponse& message);

// The frame of a message: its body size as 8 little-endian bytes, then the body; one buffer of
// exactly that size.
std::string encode_frame(const WorkerRequest& message);
std::string encode_frame(const WorkerResponse& message);

// Decodes a body; bytes after the message are ignored. The error is the decoder's own text
// ("io error: unexpected end of file", ...), without the frame reader's prefix.
Result<WorkerRequest> decode_request(std::span<const char> body);
Result<WorkerResponse> decode_response(std::span<const char> body);

// "Ack", "ApplyResult { entry_count: 5 }", "Error(\"worker not initialized\")", ...
std::string debug_string(const WorkerResponse& message);

}  // namespace zelkor::mp
