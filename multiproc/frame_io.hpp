// Frames over file descriptors: the reader of one side's messages (the worker's requests, the
// parent's replies) with the three "[ipc:{tag}] ..." errors, and the writer. A body is read in
// bounded pieces, so memory follows the bytes that actually arrive, and an absurd announced
// length is refused before anything is allocated for it. Tested by protocol_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "multiproc/protocol.hpp"

namespace zelkor::mp {

// Longest body a reader accepts; no message this engine sends comes near it.
inline constexpr uint64_t MAX_BODY_BYTES = uint64_t{1} << 40;

// Reads frames from a descriptor it does not own, through an 8 KiB buffer. One thread at a time.
// An `interruptible` reader that waits asks the thread's interrupt hook every 50 ms and ends with
// Error::interrupted(), unwrapped, once it says stop (file_io.hpp).
class FrameReader {
 public:
  explicit FrameReader(int fd, bool interruptible = false) : fd_(fd), interruptible_(interruptible) {}
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The body of the next frame; errors "[ipc:{tag}] read len failed: {err}" and
  // "[ipc:{tag}] read body failed (want {N} bytes): {err}".
  Result<std::string> read_body(std::string_view tag);

 private:
  // Fills `out` exactly; "unexpected end of file" when the input ends first.
  Result<void> read_exact(char* out, size_t n);

  int fd_;
  bool interruptible_;
  char buffer_[8192];
  size_t pos_ = 0, end_ = 0;
};

// One request (worker side, tag "worker:req") or one response (read_msg_tagged, parent side);
// a body that does not decode is "[ipc:{tag}] deserialize failed: {err}".
Result<WorkerRequest> read_request(FrameReader& reader, std::string_view tag);
Result<WorkerResponse> read_msg_tagged(FrameReader& reader, std::string_view tag);

// Writes one frame in one buffer; the error is the I/O error's own text.
Result<void> write_msg(int fd, const WorkerRequest& message);
Result<void> write_msg(int fd, const WorkerResponse& message);

}  // namespace zelkor::mp
