#include "kov_core/format.hpp"

#include <gtest/gtest.h>

#include "support/expect_error.hpp"

namespace {

using namespace kov_core;

TEST(FormatGeneration, ByVersion) {
  EXPECT_EQ(format::format_generation({1, 0, 0}).value(), 0);
  EXPECT_EQ(format::format_generation({0, 2, 0}).value(), 0);
  EXPECT_EQ(format::format_generation({0, 3, 0}).value(), 0);
  EXPECT_EQ(format::format_generation({0, 4, 0}).value(), 1);
  EXPECT_EQ(format::format_generation({0, 5, 0}).value(), 2);
  EXPECT_KOV_ERROR(format::format_generation({0, 1, 0}), ErrorKind::Unsupported,
                   "unsupported feature: format version 0.1.0");
}

}  // namespace
