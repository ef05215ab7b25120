#include "kov_core/format.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "kov_core/archive.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using format::Footer;
using kov_test::Bytes;

Footer sample_footer() {
  Footer f;
  for (std::uint8_t i = 0; i < 32; ++i) f.index_sha256[i] = i;
  f.index_offset = 0x0102030405060708;
  f.index_length = 112;
  return f;
}

format::Header header_for(const Footer& f) {
  format::Header h;
  h.index_offset = f.index_offset;
  h.index_length = f.index_length;
  return h;
}

// Decodes a footer that starts `skip` bytes into a file holding `bytes`.
Result<Footer> decode_from_file(const Bytes& bytes, std::size_t skip, const format::Header& header,
                                const format::Digest& index_sha256,
                                std::uint64_t* position = nullptr) {
  kov_test::TempDir dir;
  kov_test::write_file(dir / "footer", bytes);
  const int fd = ::open((dir / "footer").c_str(), O_RDONLY);
  format::BufferedFile file(fd, 8192);
  EXPECT_TRUE(file.seek(skip));
  auto footer = Footer::decode(file, header, index_sha256);
  if (position != nullptr) *position = file.position();
  ::close(fd);
  return footer;
}

TEST(Footer, EncodeLayout) {
  const std::string digest_hex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  EXPECT_EQ(archive::hex(sample_footer().encode()),
            digest_hex + "4b4f56454e443100" + "0807060504030201" + "7000000000000000" + digest_hex);
}

TEST(Footer, DecodeAtTheFilePositionReturnsTheEncodedFooter) {
  const Footer f = sample_footer();
  const auto encoded = f.encode();
  Bytes bytes(10 + format::FOOTER_SIZE, 0xEE);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + 10);
  std::uint64_t position = 0;
  auto decoded = decode_from_file(bytes, 10, header_for(f), f.index_sha256, &position);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(*decoded, f);
  EXPECT_EQ(decoded->encode(), encoded);
  EXPECT_EQ(position, 10u + format::FOOTER_SIZE);
}

TEST(Footer, DecodeChecksInOrder) {
  const std::string mismatch = "corrupt archive: footer does not match header/index";
  const std::string short_read = "I/O error: failed to fill whole buffer";
  struct Case {
    const char* name;
    std::vector<std::size_t> flipped;  // offsets of changed bytes
    std::size_t size;                  // bytes of the footer left in the file
    ErrorKind kind;
    std::string text;
  };
  const Case cases[] = {
      {"file ends inside the first digest", {}, 20, ErrorKind::Io, short_read},
      {"digest beats a wrong magic",
       {0, 32},
       88,
       ErrorKind::Corrupt,
       "corrupt archive: index SHA-256 mismatch"},
      {"digest beats a short file",
       {31},
       40,
       ErrorKind::Corrupt,
       "corrupt archive: index SHA-256 mismatch"},
      {"file ends inside the magic", {}, 36, ErrorKind::Io, short_read},
      {"short offset beats a wrong magic",
       {32},
       44,
       ErrorKind::Corrupt,
       "corrupt archive: truncated integer"},
      {"file ends inside the length",
       {},
       52,
       ErrorKind::Corrupt,
       "corrupt archive: truncated integer"},
      {"short second digest beats a wrong offset", {40}, 70, ErrorKind::Io, short_read},
      {"offset differs", {40}, 88, ErrorKind::Corrupt, mismatch},
      {"length differs", {55}, 88, ErrorKind::Corrupt, mismatch},
      {"magic differs", {39}, 88, ErrorKind::Corrupt, mismatch},
      {"second digest differs", {87}, 88, ErrorKind::Corrupt, mismatch},
  };
  const Footer f = sample_footer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto encoded = f.encode();
    Bytes bytes(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(c.size));
    for (const std::size_t offset : c.flipped) kov_test::flip_byte(bytes, offset, 0x01);
    EXPECT_KOV_ERROR(decode_from_file(bytes, 0, header_for(f), f.index_sha256), c.kind, c.text);
  }
}

TEST(Footer, MustRepeatTheHeaderAndTheIndexDigest) {
  const Footer f = sample_footer();
  const auto encoded = f.encode();
  const Bytes bytes(encoded.begin(), encoded.end());
  format::Digest other_digest = f.index_sha256;
  other_digest[5] ^= 0x10;
  EXPECT_KOV_ERROR(decode_from_file(bytes, 0, header_for(f), other_digest), ErrorKind::Corrupt,
                   "corrupt archive: index SHA-256 mismatch");
  format::Header moved = header_for(f);
  moved.index_offset += 1;
  EXPECT_KOV_ERROR(decode_from_file(bytes, 0, moved, f.index_sha256), ErrorKind::Corrupt,
                   "corrupt archive: footer does not match header/index");
  format::Header longer = header_for(f);
  longer.index_length += 1;
  EXPECT_KOV_ERROR(decode_from_file(bytes, 0, longer, f.index_sha256), ErrorKind::Corrupt,
                   "corrupt archive: footer does not match header/index");
}

}  // namespace
