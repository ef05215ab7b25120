// Large files written through kernel workers arrive whole and in place, and a
// failed write is reported, with io_uring and without.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "archive/async_writer.hpp"
#include "kov_core/fd.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "util/ring.hpp"
#include "util/test_hooks.hpp"

namespace {

using kov_core::ErrorKind;
using kov_test::Bytes;

class AsyncWriterModes : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Modes, AsyncWriterModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Ring" : "Direct";
                         });

TEST_P(AsyncWriterModes, PiecesLandAtTheirOffsetsAcrossFiles) {
  kov_test::TempDir dir;
  kov_core::archive::AsyncWriter writer(3, 4096, GetParam());
  for (const std::size_t size : {0u, 1u, 4096u, 4097u, 100'000u}) {
    SCOPED_TRACE(size);
    Bytes content(size);
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<std::uint8_t>(i * 31 + size);
    const auto path = dir / ("f" + std::to_string(size));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    writer.begin(fd);
    // Pieces of every size, smaller and larger than a buffer.
    std::size_t at = 0;
    for (std::size_t step = 1; at < size; step = step * 3 + 1) {
      const std::size_t n = std::min(step, size - at);
      ASSERT_TRUE(writer.write(std::span(content).subspan(at, n)));
      at += n;
    }
    ASSERT_TRUE(writer.finish());
    ::close(fd);
    EXPECT_EQ(kov_test::read_file(path), content);
  }
}

TEST_P(AsyncWriterModes, AFailedWriteIsReported) {
  const int fd = ::open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full here";
  kov_core::archive::AsyncWriter writer(2, 4096, GetParam());
  writer.begin(fd);
  const Bytes content(50'000, 7);
  auto written = writer.write(content);
  auto finished = writer.finish();
  ::close(fd);
  const auto& failure =
      written ? finished : kov_core::Result<void>(std::unexpected(written.error()));
  EXPECT_KOV_ERROR(failure, ErrorKind::Io, "I/O error: No space left on device (os error 28)");
}

// The first wait fails; every wait is counted.
int waits = 0;
int fail_the_first_wait() { return waits++ == 0 ? EIO : 0; }

TEST(AsyncWriterLifetime, EveryWriteInFlightEndsBeforeItsPieceIsFreedEvenAfterAFailedWait) {
  if (!kov_core::util::Ring::create(1)) GTEST_SKIP() << "io_uring cannot be set up on this machine";
  const kov_test::TempDir dir;
  const kov_core::util::Fd file(::open((dir / "f").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(file.valid());
  constexpr std::size_t PIECE = 65'536;
  Bytes content(3 * PIECE);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i % 251);
  waits = 0;
  {
    kov_core::archive::AsyncWriter writer(4, PIECE, true);
    writer.begin(file.get());
    ASSERT_TRUE(writer.write(content));  // three full pieces, submitted
    kov_core::util::test_hooks::ring_wait = fail_the_first_wait;
  }
  kov_core::util::test_hooks::ring_wait = nullptr;
  // The failed wait took nothing; one more for each of the three writes.
  EXPECT_EQ(waits, 4);
  EXPECT_EQ(kov_test::read_file(dir / "f"), content);
}

}  // namespace
