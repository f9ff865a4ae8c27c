// Error chains render outermost first joined by ": "; I/O errors carry the OS error number.
#include <gtest/gtest.h>

#include <cerrno>

#include "core/error.hpp"

namespace zelkor {
namespace {

TEST(Error, ContextChainRendersOutermostFirst) {
  Error e = Error("bad line").context("read corpus").context("train");
  EXPECT_EQ(e.render(), "train: read corpus: bad line");
  EXPECT_EQ(e.chain().size(), 3u);
}

TEST(Error, IoErrorText) {
  EXPECT_EQ(Error::io(ENOENT).render(), "No such file or directory (os error 2)");
}

TEST(Error, ResultCarriesEither) {
  Result<int> ok = 3;
  Result<int> bad = fail("n_min must be >= 2");
  EXPECT_EQ(*ok, 3);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().render(), "n_min must be >= 2");
}

TEST(Fault, WhatJoinsLabelAndDetail) {
  EXPECT_STREQ(Fault("build pool", "no threads").what(), "build pool: no threads");
  EXPECT_STREQ(Fault("build pool").what(), "build pool");
}

}  // namespace
}  // namespace zelkor
