// Frame reading and writing.
#include "multiproc/frame_io.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "core/file_io.hpp"

namespace zelkor::mp {
namespace {

constexpr size_t PIECE = size_t{1} << 20;  // a body grows by at most this much, or doubles

template <typename Message, typename Decode>
Result<Message> read_message(FrameReader& reader, std::string_view tag, Decode decode) {
  auto body = reader.read_body(tag);
  if (!body) return std::unexpected(std::move(body.error()));
  auto message = decode(std::span<const char>(body->data(), body->size()));
  if (!message) {
    return fail(fmt::format("[ipc:{}] deserialize failed: {}", tag, message.error().render()));
  }
  return std::move(*message);
}

}  // namespace

Result<void> FrameReader::read_exact(char* out, size_t n) {
  while (n > 0) {
    if (pos_ == end_) {
      auto got = read_some_fd(fd_, buffer_, interruptible_);
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) return fail("unexpected end of file");
      pos_ = 0;
      end_ = *got;
    }
    const size_t take = std::min(n, end_ - pos_);
    std::memcpy(out, buffer_ + pos_, take);
    pos_ += take;
    out += take;
    n -= take;
  }
  return {};
}

Result<std::string> FrameReader::read_body(std::string_view tag) {
  unsigned char len[8];
  if (auto ok = read_exact(reinterpret_cast<char*>(len), 8); !ok) {
    if (ok.error().is_interrupted()) return std::unexpected(std::move(ok.error()));
    return fail(fmt::format("[ipc:{}] read len failed: {}", tag, ok.error().render()));
  }
  uint64_t n = 0;
  for (int b = 7; b >= 0; --b) n = n << 8 | len[b];
  auto body_failed = [&](std::string_view why) {
    return fail(fmt::format("[ipc:{}] read body failed (want {} bytes): {}", tag, n, why));
  };
  if (n > MAX_BODY_BYTES) return body_failed("longer than any frame of this protocol");
  std::string body;
  while (body.size() < n) {
    const size_t have = body.size();
    const size_t grow = static_cast<size_t>(std::min<uint64_t>(n - have, std::max(have, PIECE)));
    body.resize(have + grow);
    if (auto ok = read_exact(body.data() + have, grow); !ok) {
      if (ok.error().is_interrupted()) return std::unexpected(std::move(ok.error()));
      return body_failed(ok.error().render());
    }
  }
  return body;
}

Result<WorkerRequest> read_request(FrameReader& reader, std::string_view tag) {
  return read_message<WorkerRequest>(reader, tag, decode_request);
}

Result<WorkerResponse> read_msg_tagged(FrameReader& reader, std::string_view tag) {
  return read_message<WorkerResponse>(reader, tag, decode_response);
}

Result<void> write_msg(int fd, const WorkerRequest& message) {
  return write_all_fd(fd, encode_frame(message));
}

Result<void> write_msg(int fd, const WorkerResponse& message) {
  return write_all_fd(fd, encode_frame(message));
}

}  // namespace zelkor::mp
