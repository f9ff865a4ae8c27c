// Worker message bodies: every decoding error text and the debug rendering of responses. Round
// trips with exact sizes are the fuzz target's property (tests/fuzz); example frames byte for byte
// and the frame reader's errors are checked against a real worker by tests/python/test_worker.py.
#include <gtest/gtest.h>

#include <string>

#include "multiproc/protocol.hpp"
#include "tests/cpp/support/fixtures.hpp"

namespace zelkor::mp {
namespace {

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
