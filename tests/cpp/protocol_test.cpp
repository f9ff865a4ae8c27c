// Worker message frames: random messages round-trip with their exact sizes, every decoding error
// text, the frame reader's errors over a pipe, and the debug rendering of responses. Example
// frames byte for byte are checked against a real worker by tests/python/test_worker.py.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "multiproc/frame_io.hpp"
#include "multiproc/protocol.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor::mp {
namespace {

std::mt19937 rng(5);
uint32_t u32() { return static_cast<uint32_t>(rng()); }
uint32_t any(uint32_t n) { return u32() % n; }
TokenIds any_ids() { TokenIds ids(any(5)); for (auto& id : ids) id = u32(); return ids; }
std::string any_text() {
  const char* pieces[] = {"a", "\xC4\xA0", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", " ", "\x7F"};
  std::string text;
  for (uint32_t i = any(6); i > 0; --i) text += pieces[any(6)];
  return text;
}
std::vector<SeqEntry> any_entries() {
  std::vector<SeqEntry> entries(any(4));
  for (auto& e : entries) e = SeqEntry{any_ids(), u32()};
  return entries;
}

WorkerRequest any_request() {
  switch (any(6)) {
    case 0: return Init{any_entries(), {u32(), uint64_t{u32()} << 40}};
    case 1: return Preprocess{{any_text(), any_text()}};
    case 2: return ComputeStats{};
    case 3: return ApplyMerge{any_ids(), u32(), any(2) == 1, any(2) == 1, uint64_t{1} << any(20), any_text()};
    case 4: return DumpEntries{};
    default: return Shutdown{};
  }
}

WorkerResponse any_response() {
  switch (any(6)) {
    case 0: return Ack{};
    case 1: return PreStats{{{any_text(), u32()}, {"", 0}}};
    case 2: return Stats{{{NgramKey{u32(), u32()}, Stat{u32(), uint64_t{u32()} << 30}},
                          {NgramKey{u32()}, Stat{u32(), u32()}}}};
    case 3: return ApplyResult{uint64_t{u32()} << 33};
    case 4: return Entries{any_entries()};
    default: return ErrorReply{any_text()};
  }
}

template <typename Message, typename Decode>
void expect_round_trip(const Message& m, Decode decode) {
  const std::string frame = encode_frame(m);
  ASSERT_EQ(frame.size(), 8 + body_size(m));
  uint64_t announced = 0;
  for (int b = 7; b >= 0; --b) announced = announced << 8 | static_cast<unsigned char>(frame[b]);
  EXPECT_EQ(announced, body_size(m));
  auto decoded = decode(std::span<const char>(frame).subspan(8));
  ASSERT_TRUE(decoded) << decoded.error().render();
  EXPECT_TRUE(*decoded == m) << "variant " << m.index();
}

TEST(Frames, RandomMessagesRoundTripWithTheirExactSizes) {
  for (int i = 0; i < 2000; ++i) {
    expect_round_trip(any_request(), decode_request);
    expect_round_trip(any_response(), decode_response);
  }
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(Frames, DecodingErrors) {
  const std::string apply_prefix = bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // no parts, id 0
  const std::pair<std::string, const char*> cases[] = {
      {"", "io error: unexpected end of file"},
      {bytes({5, 0, 0}), "io error: unexpected end of file"},
      {bytes({6, 0, 0, 0}), "invalid value: integer `6`, expected variant index 0 <= i < 6"},
      {apply_prefix + bytes({0, 2}), "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {bytes({1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF}),
       "string is not valid utf8: invalid utf-8 sequence at byte 0"},
      {bytes({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),  // count, no strings
       "io error: unexpected end of file"},
  };
  for (const auto& [body, error] : cases) {
    auto decoded = decode_request(body);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().render(), error);
  }
}

// The reader's errors on a pipe that ends early or announces an absurd body.
TEST(Frames, ReaderErrors) {
  const std::pair<std::string, const char*> cases[] = {
      {bytes({4, 0, 0}), "[ipc:t] read len failed: unexpected end of file"},
      {bytes({9, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "[ipc:t] read body failed (want 9 bytes): unexpected end of file"},
      {bytes({1, 0, 0, 0, 0, 0, 0, 1}),
       "[ipc:t] read body failed (want 72057594037927937 bytes): longer than any frame of this protocol"},
      {bytes({2, 0, 0, 0, 0, 0, 0, 0, 9, 0}), "[ipc:t] deserialize failed: io error: unexpected end of file"},
  };
  for (const auto& [input, error] : cases) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
    FrameReader reader(fds[0]);
    auto message = read_msg_tagged(reader, "t");
    ::close(fds[0]);
    ASSERT_FALSE(message);
    EXPECT_EQ(message.error().render(), error);
  }
}

TEST(Frames, DebugRendering) {
  const std::pair<WorkerResponse, const char*> cases[] = {
      {Ack{}, "Ack"},
      {ApplyResult{5}, "ApplyResult { entry_count: 5 }"},
      {ErrorReply{"worker not initialized"}, "Error(\"worker not initialized\")"},
      {Entries{{{{4, 7}, 2}}}, "Entries { entries: [SeqEntry { tokens: [4, 7], freq: 2 }] }"},
      {Stats{{{NgramKey{12, 7}, Stat{3, 3}}}}, "Stats { stats: {[12, 7]: Stat { freq: 3, score: 3 }} }"},
      {PreStats{{{"a\xC4\xA0", 3}}}, "PreStats { stats: [([\"a\", \"\xC4\xA0\"], 3)] }"},
  };
  for (const auto& [message, text] : cases) EXPECT_EQ(debug_string(message), text);
}

}  // namespace
}  // namespace zelkor::mp
