#pragma once
// Checks that a Result holds an error of the given kind with exactly the given display text.

#include <gtest/gtest.h>

#include <string>

#include "kov_core/error.hpp"

#define EXPECT_KOV_ERROR(result_expr, expected_kind, expected_text)         \
  do {                                                                      \
    const auto& kov_result_ = (result_expr);                                \
    if (kov_result_.has_value()) {                                          \
      ADD_FAILURE() << "expected an error, got a value";                    \
    } else {                                                                \
      EXPECT_EQ(kov_result_.error().kind(), (expected_kind));               \
      EXPECT_EQ(kov_result_.error().display(), std::string(expected_text)); \
    }                                                                       \
  } while (false)
