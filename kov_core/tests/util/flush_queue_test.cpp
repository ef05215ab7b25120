#include "util/flush_queue.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "kov_core/fd.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::util::Fd;
using kov_core::util::FlushQueue;
using kov_test::TempDir;

// Names the variants of a test that runs with and without io_uring.
std::string mode_name(const testing::TestParamInfo<bool>& param) {
  return param.param ? "Concurrent" : "OneAtATime";
}

// Runs each test with io_uring and with the one-at-a-time fallback.
class FlushQueueModes : public testing::TestWithParam<bool> {
 protected:
  [[nodiscard]] FlushQueue make(unsigned depth) const {
    return FlushQueue::create(depth, GetParam());
  }
  // Skips the concurrent variant where the kernel offers no io_uring.
  [[nodiscard]] bool available(const FlushQueue& queue) const {
    return (queue.mode() == FlushQueue::Mode::Concurrent) == GetParam();
  }
};

TEST_P(FlushQueueModes, ManyFlushesCompleteOnceEachWithTheirTags) {
  FlushQueue queue = make(8);
  if (!available(queue)) GTEST_SKIP() << "io_uring cannot be set up on this machine";
  EXPECT_EQ(queue.depth(), 8U);
  const TempDir dir;
  constexpr std::uint64_t COUNT = 200;
  std::vector<Fd> files;
  for (std::uint64_t i = 0; i < COUNT; ++i) {
    const std::string path = (dir / ("f" + std::to_string(i))).string();
    files.emplace_back(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(files.back().valid());
    ASSERT_EQ(::write(files.back().get(), "x", 1), 1);
  }
  std::map<std::uint64_t, int> seen;
  const auto take = [&] {
    auto completion = queue.wait_one();
    ASSERT_TRUE(completion.has_value()) << completion.error().display();
    EXPECT_TRUE(seen.emplace(completion->tag, completion->error).second)
        << "tag twice: " << completion->tag;
  };
  // Tags far from the indexes show that the tag, not a slot, comes back.
  constexpr std::uint64_t BASE = 0xF000'0000'0000'0000;
  for (std::uint64_t i = 0; i < COUNT; ++i) {
    while (queue.in_flight() == queue.depth()) take();
    ASSERT_TRUE(queue.submit(files[i].get(), BASE + i).has_value());
  }
  while (queue.in_flight() != 0) take();
  ASSERT_EQ(seen.size(), COUNT);
  for (std::uint64_t i = 0; i < COUNT; ++i) EXPECT_EQ(seen[BASE + i], 0) << i;
}

TEST_P(FlushQueueModes, FailedFsyncReportsItsErrorInTheCompletion) {
  FlushQueue queue = make(4);
  if (!available(queue)) GTEST_SKIP() << "io_uring cannot be set up on this machine";
  const TempDir dir;
  const Fd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const Fd read_end(ends[0]);
  const Fd write_end(ends[1]);
  // A number that no descriptor holds until the flush is done: nothing opens in between.
  const int closed = ::fcntl(read_end.get(), F_DUPFD_CLOEXEC, 0);
  ASSERT_GE(closed, 0);
  ::close(closed);

  ASSERT_TRUE(queue.submit(closed, 1).has_value());
  ASSERT_TRUE(queue.submit(read_end.get(), 2).has_value());  // a pipe cannot be flushed
  ASSERT_TRUE(queue.submit(directory.get(), 3).has_value());
  std::map<std::uint64_t, int> errors;
  for (int i = 0; i < 3; ++i) {
    auto completion = queue.wait_one();
    ASSERT_TRUE(completion.has_value());
    errors[completion->tag] = completion->error;
  }
  EXPECT_EQ(errors, (std::map<std::uint64_t, int>{{1, EBADF}, {2, EINVAL}, {3, 0}}));
}

TEST_P(FlushQueueModes, RefusesBeyondItsDepthAndWaitsOnlyForSubmittedFlushes) {
  FlushQueue queue = make(0);
  if (!available(queue)) GTEST_SKIP() << "io_uring cannot be set up on this machine";
  ASSERT_EQ(queue.depth(), 1U);
  const TempDir dir;
  const Fd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(queue.submit(directory.get(), 7).has_value());
  EXPECT_KOV_ERROR(queue.submit(directory.get(), 8), ErrorKind::Io,
                   "I/O error: flush queue is full");
  EXPECT_EQ(queue.in_flight(), 1U);
  FlushQueue moved = std::move(queue);  // in-flight work moves with the queue
  auto completion = moved.wait_one();
  ASSERT_TRUE(completion.has_value());
  EXPECT_EQ(completion->tag, 7U);
  EXPECT_EQ(completion->error, 0);
  EXPECT_KOV_ERROR(moved.wait_one(), ErrorKind::Io, "I/O error: no flush in flight");
}

INSTANTIATE_TEST_SUITE_P(, FlushQueueModes, testing::Bool(), mode_name);

TEST(FlushQueue, WithoutConcurrencyRunsOneAtATime) {
  EXPECT_EQ(FlushQueue::create(8, false).mode(), FlushQueue::Mode::OneAtATime);
}

}  // namespace
