#include "kov_core/format.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using kov_test::Bytes;

TEST(BufferedFile, ReadsAcrossTheBufferAndReportsTheEnd) {
  kov_test::TempDir dir;
  Bytes data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  kov_test::write_file(dir / "f", data);
  const int fd = ::open((dir / "f").c_str(), O_RDONLY);
  format::BufferedFile file(fd, 64);
  Bytes head(10), big(500), rest(490);
  ASSERT_TRUE(file.read_exact(head));
  ASSERT_TRUE(file.read_exact(big));  // larger than the buffer
  ASSERT_TRUE(file.read_exact(rest));
  EXPECT_TRUE(std::equal(head.begin(), head.end(), data.begin()));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), data.begin() + 10));
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.begin() + 510));
  EXPECT_EQ(file.position(), 1000u);
  EXPECT_KOV_ERROR(format::read_u64(file), ErrorKind::Corrupt,
                   "corrupt archive: truncated integer");
  ASSERT_TRUE(file.seek(992));
  EXPECT_EQ(format::read_u64(file).value(), format::load_u64(&data[992]));
  ::close(fd);
}

TEST(BufferedWriter, WritesLittleEndianAndReportsOsErrors) {
  kov_test::TempDir dir;
  const int fd = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  format::BufferedWriter writer(fd, 16);
  ASSERT_TRUE(format::write_u64(writer, 0x1122334455667788));
  ASSERT_TRUE(writer.write(Bytes(40, 0xAB)));
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(writer.position(), 48u);
  ::close(fd);
  EXPECT_EQ(::access((dir / "out").c_str(), F_OK), 0);
  const int rd = ::open((dir / "out").c_str(), O_RDONLY);
  Bytes back(48);
  ASSERT_EQ(::read(rd, back.data(), back.size()), 48);
  ::close(rd);
  EXPECT_EQ(back[0], 0x88);
  EXPECT_EQ(back[7], 0x11);
  EXPECT_EQ(back[47], 0xAB);

  const int read_only = ::open((dir / "out").c_str(), O_RDONLY);
  format::BufferedWriter bad(read_only, 4);
  EXPECT_KOV_ERROR(format::write_u64(bad, 1), ErrorKind::Io,
                   "I/O error: Bad file descriptor (os error 9)");
  ::close(read_only);
}

}  // namespace
