// Seeded hashing: every map its own seed, and keys hashed like token runs of the same ids (so
// lookups by a span of ids find what keys inserted).
#include <gtest/gtest.h>

#include "core/types.hpp"

namespace zelkor {
namespace {

TEST(SeededHash, MapsGetTheirOwnSeeds) {
  SeededHash a, b;
  const NgramKey key = {3, 4};
  EXPECT_NE(a.seed, b.seed);
  EXPECT_NE(a(key), b(key));
  EXPECT_EQ(a(key), a(TokenIds{3, 4}));
}

}  // namespace
}  // namespace zelkor
