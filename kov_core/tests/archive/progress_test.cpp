// The progress counters and the cancellation flag.

#include "archive/progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "kov_core/progress.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::archive::begin_progress;
using kov_core::archive::CANCELLED;
using kov_core::archive::check_cancelled;
using kov_core::archive::progress_add;
using kov_core::archive::PROGRESS_COMPLETED;
using kov_core::archive::PROGRESS_TOTAL;
using kov_core::archive::progress_units;

// Restores a value of the process-wide statics when a test ends.
class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_total_ = PROGRESS_TOTAL.load();
    saved_completed_ = PROGRESS_COMPLETED.load();
    saved_cancelled_ = CANCELLED.load();
  }
  void TearDown() override {
    PROGRESS_TOTAL.store(saved_total_);
    PROGRESS_COMPLETED.store(saved_completed_);
    CANCELLED.store(saved_cancelled_);
  }

 private:
  std::uint64_t saved_total_ = 0;
  std::uint64_t saved_completed_ = 0;
  bool saved_cancelled_ = false;
};

TEST_F(ProgressTest, ResetSetsBothToZero) {
  PROGRESS_TOTAL.store(12);
  PROGRESS_COMPLETED.store(7);
  kov_progress_reset();
  EXPECT_EQ(kov_progress_total(), 0U);
  EXPECT_EQ(kov_progress_completed(), 0U);
  EXPECT_EQ(PROGRESS_TOTAL.load(), 0U);
  EXPECT_EQ(PROGRESS_COMPLETED.load(), 0U);
}

TEST_F(ProgressTest, ProgressAddAccumulatesAndMayExceedTotal) {
  kov_progress_reset();
  PROGRESS_TOTAL.store(12);
  progress_add(10);
  progress_add(1);
  progress_add(1);
  EXPECT_EQ(kov_progress_completed(), 12U);
  progress_add(5);
  EXPECT_EQ(kov_progress_completed(), 17U);
  EXPECT_EQ(kov_progress_total(), 12U);
}

TEST_F(ProgressTest, BeginProgressStartsAFreshCount) {
  PROGRESS_COMPLETED.store(7);
  begin_progress(12);
  EXPECT_EQ(kov_progress_total(), 12U);
  EXPECT_EQ(kov_progress_completed(), 0U);
}

// One unit per item and per byte; a total past the range stays at its top.
TEST(ProgressUnits, CountsItemsAndBytesAndSaturates) {
  const auto same = [](std::uint64_t bytes) { return bytes; };
  EXPECT_EQ(progress_units(std::vector<std::uint64_t>{}, same), 0U);
  EXPECT_EQ(progress_units(std::vector<std::uint64_t>{0, 10}, same), 12U);
  EXPECT_EQ(progress_units(std::vector<std::uint64_t>{UINT64_MAX, 0}, same), UINT64_MAX);
  EXPECT_EQ(progress_units(std::vector<std::uint64_t>{UINT64_MAX - 5, 3, 4}, same), UINT64_MAX);
}

TEST_F(ProgressTest, CheckCancelled) {
  CANCELLED.store(false);
  EXPECT_TRUE(check_cancelled().has_value());

  CANCELLED.store(true);
  const auto result = check_cancelled();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(result.error().display(), "operation cancelled");

  CANCELLED.store(false);
  EXPECT_TRUE(check_cancelled().has_value());
}

}  // namespace
