// libFuzzer target for the worker message decoder: every body that decodes must re-encode to a
// frame of exactly body_size bytes that decodes to the same message. Run by scripts/fuzz;
// `frame_decode_fuzz --seeds=DIR` writes seed bodies instead of fuzzing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "multiproc/protocol.hpp"

namespace zelkor::mp {
int write_seeds(const char* dir);
}

namespace {

using namespace zelkor::mp;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "frame_decode_fuzz: property violated: %s\n", what);
  __builtin_trap();
}

// m came out of the decoder; its re-encoding must be self-consistent and decode back to m.
template <typename Message, typename Decode>
void check_round_trip(const Message& m, Decode decode) {
  const std::string frame = encode_frame(m);
  require(frame.size() >= 8, "frame shorter than its length prefix");
  uint64_t announced = 0;
  for (int b = 7; b >= 0; --b) announced = announced << 8 | static_cast<unsigned char>(frame[b]);
  const uint64_t size = body_size(m);
  require(frame.size() - 8 == size, "body length differs from body_size");
  require(announced == size, "length prefix differs from body_size");
  auto again = decode(std::span<const char>(frame).subspan(8));
  require(again.has_value(), "re-encoded body does not decode");
  require(*again == m, "re-encoded body decodes to another message");
  require(body_size(*again) == size, "body_size changed after a round trip");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // libFuzzer ignores "--" flags, so this one cannot clash with its own.
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], "--seeds=", 8) == 0) std::exit(write_seeds((*argv)[i] + 8));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const char> body(reinterpret_cast<const char*>(data), size);
  if (auto request = decode_request(body)) {
    check_round_trip(*request, [](std::span<const char> b) { return decode_request(b); });
  }
  if (auto response = decode_response(body)) {
    check_round_trip(*response, [](std::span<const char> b) { return decode_response(b); });
    const std::string text = debug_string(*response);
    require(!text.empty(), "empty debug_string");
  }
  return 0;
}
