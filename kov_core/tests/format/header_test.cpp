#include "kov_core/format.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using format::Header;
using kov_test::Bytes;

Header sample_header(format::Version v) {
  Header h;
  h.major = v.major;
  h.minor = v.minor;
  h.patch = v.patch;
  h.profile = format::format_generation(v).value() == 0 ? 0 : 3;
  h.flags = 1;
  for (std::uint8_t i = 0; i < 16; ++i) h.id[i] = static_cast<std::uint8_t>(0xA0 + i);
  h.created_unix = -12345;
  h.io_buffer_size = 1'048'576;
  h.index_offset = 0x0102030405060708;
  h.index_length = 112;
  return h;
}

const format::Version VERSIONS[] = {{1, 0, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}, {0, 5, 0}};

TEST(Header, EncodeLayoutAndRoundTripForEveryVersion) {
  for (const auto v : VERSIONS) {
    SCOPED_TRACE(v.text());
    const Header h = sample_header(v);
    const auto bytes = h.encode();
    EXPECT_TRUE(
        std::equal(format::HEADER_MAGIC.begin(), format::HEADER_MAGIC.end(), bytes.begin()));
    EXPECT_EQ(bytes[8], v.major);
    EXPECT_EQ(bytes[9], v.minor);
    EXPECT_EQ(bytes[10], v.patch);
    EXPECT_EQ(bytes[12], 1);
    EXPECT_EQ(bytes[16], 0xA0);
    EXPECT_EQ(format::load_u64(&bytes[32]), static_cast<std::uint64_t>(-12345));
    EXPECT_EQ(format::load_u32(&bytes[40]), 1'048'576u);
    EXPECT_EQ(bytes[48], 0x08);  // little-endian
    EXPECT_EQ(bytes[55], 0x01);
    EXPECT_EQ(format::load_u64(&bytes[56]), 112u);
    auto decoded = Header::decode(std::span<const std::uint8_t>(bytes));
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(*decoded, h);
    EXPECT_EQ(decoded->encode(), bytes);
  }
}

TEST(Header, ChecksumIsTheFirstFourDigestBytesOverTheZeroedField) {
  auto bytes = sample_header(format::VERSION_0_5_0).encode();
  std::array<std::uint8_t, 64> zeroed = bytes;
  std::fill(zeroed.begin() + 44, zeroed.begin() + 48, std::uint8_t{0});
  const auto sum = format::digest(zeroed);
  EXPECT_TRUE(std::equal(sum.begin(), sum.begin() + 4, bytes.begin() + 44));
}

TEST(Header, DecodeChecksInOrder) {
  struct Case {
    const char* name;
    format::Version version;
    std::vector<std::pair<std::size_t, std::uint8_t>> patches;  // raw bytes set after encoding
    bool refresh_checksum;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {"wrong magic beats unknown version",
       {0, 5, 0},
       {{0, 'X'}, {9, 9}},
       false,
       ErrorKind::Corrupt,
       "corrupt archive: wrong KOV magic"},
      {"0.3.1 refused before the checksum",
       {0, 3, 0},
       {{10, 1}},
       false,
       ErrorKind::Unsupported,
       "unsupported feature: format version 0.3.1"},
      {"0.6.0",
       {0, 5, 0},
       {{9, 6}},
       true,
       ErrorKind::Unsupported,
       "unsupported feature: format version 0.6.0"},
      {"2.0.0",
       {1, 0, 0},
       {{8, 2}},
       true,
       ErrorKind::Unsupported,
       "unsupported feature: format version 2.0.0"},
      {"1.0.1",
       {1, 0, 0},
       {{10, 1}},
       true,
       ErrorKind::Unsupported,
       "unsupported feature: format version 1.0.1"},
      {"0.4.1",
       {0, 4, 0},
       {{10, 1}},
       true,
       ErrorKind::Unsupported,
       "unsupported feature: format version 0.4.1"},
      {"reserved byte beats a bad checksum",
       {1, 0, 0},
       {{11, 3}},
       false,
       ErrorKind::Corrupt,
       "corrupt archive: non-zero reserved version byte"},
      {"reserved byte of 0.2.0",
       {0, 2, 0},
       {{11, 1}},
       true,
       ErrorKind::Corrupt,
       "corrupt archive: non-zero reserved version byte"},
      {"profile byte of 0.4.0 is covered by the checksum",
       {0, 4, 0},
       {{11, 4}},
       false,
       ErrorKind::Corrupt,
       "corrupt archive: header checksum mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Header h = sample_header(c.version);
    h.profile = 0;
    auto encoded = h.encode();
    Bytes bytes(encoded.begin(), encoded.end());
    for (const auto& [offset, value] : c.patches) bytes[offset] = value;
    if (c.refresh_checksum) kov_test::refresh_header_checksum(bytes);
    EXPECT_KOV_ERROR(Header::decode(std::span<const std::uint8_t>(bytes)), c.kind, c.text);
  }
  Header h = sample_header(format::VERSION_0_4_0);
  h.profile = 3;
  const auto bytes = h.encode();
  EXPECT_TRUE(
      Header::decode(std::span<const std::uint8_t>(bytes)));  // byte 11 is the profile there
}

TEST(Header, AnySingleByteChangeFromOffset12IsAChecksumMismatch) {
  for (const auto v : {format::VERSION_0_4_0, format::Version{1, 0, 0}}) {
    const auto encoded = sample_header(v).encode();
    for (std::size_t offset = 12; offset < 64; ++offset) {
      SCOPED_TRACE(offset);
      Bytes bytes(encoded.begin(), encoded.end());
      kov_test::flip_byte(bytes, offset, 0x40);
      EXPECT_KOV_ERROR(Header::decode(std::span<const std::uint8_t>(bytes)), ErrorKind::Corrupt,
                       "corrupt archive: header checksum mismatch");
    }
  }
}

TEST(Header, ShortInputIsTruncated) {
  const auto encoded = sample_header(format::VERSION_0_5_0).encode();
  EXPECT_KOV_ERROR(Header::decode(std::span<const std::uint8_t>(encoded.data(), 63)),
                   ErrorKind::Corrupt, "corrupt archive: truncated header");

  kov_test::TempDir dir;
  kov_test::write_file(dir / "short", Bytes(encoded.begin(), encoded.begin() + 40));
  const int fd = ::open((dir / "short").c_str(), O_RDONLY);
  format::BufferedFile file(fd, 8192);
  EXPECT_KOV_ERROR(Header::decode(file), ErrorKind::Corrupt, "corrupt archive: truncated header");
  ::close(fd);
}

}  // namespace
