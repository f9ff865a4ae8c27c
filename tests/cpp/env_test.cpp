// Environment switches: presence requires valid UTF-8; numbers are u64 with an optional "+".
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/env.hpp"

namespace zelkor {
namespace {

TEST(Env, ParseU64) {
  const std::pair<std::string, std::optional<uint64_t>> rows[] = {
      {"0", 0}, {"42", 42}, {"+7", 7}, {"007", 7}, {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
      {"-1", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"++1", std::nullopt},
      {"0x10", std::nullopt}};
  for (const auto& [text, expected] : rows) EXPECT_EQ(parse_u64(text), expected) << text;
}

TEST(Env, PresenceNeedsValidUtf8) {
  const char* name = "ZELKOR_TEST_SWITCH";
  setenv(name, "", 1);
  EXPECT_TRUE(env_is_set(name));
  setenv(name, "\xFF", 1);
  EXPECT_FALSE(env_is_set(name));
  EXPECT_EQ(env_u64(name), std::nullopt);
  setenv(name, "+12", 1);
  EXPECT_EQ(env_u64(name), 12u);
  unsetenv(name);
  EXPECT_FALSE(env_is_set(name));
}

}  // namespace
}  // namespace zelkor
