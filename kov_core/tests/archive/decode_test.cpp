// The decode chain and the test of whole archives: sizes, hashes, damaged
// frames and chunks, link targets, progress.

#include <zstd.h>

#include <gtest/gtest.h>

#include "archive/archive_internal.hpp"
#include "archive/progress.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/progress.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/memory_stream.hpp"

namespace {

using namespace kov_core;
using archive::Archive;
using crypto::EncryptionCredential;
using kov_test::Bytes;
using kov_test::Item;
using kov_test::text_bytes;
namespace fs = std::filesystem;

constexpr format::Version V030{0, 3, 0};

// One zstd frame of `content`, streamed (no content size) with the given window.
Bytes zstd_frame(const Bytes& content, int window_log = 23) {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(ctx, ZSTD_c_windowLog, window_log);
  Bytes out(ZSTD_compressBound(content.size()) + 64);
  ZSTD_inBuffer in{content.data(), content.size(), 0};
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  ZSTD_compressStream2(ctx, &o, &in, ZSTD_e_continue);
  while (ZSTD_compressStream2(ctx, &o, &in, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(ctx);
  out.resize(o.pos);
  return out;
}

Item item(std::string path, std::uint8_t kind_code, std::uint8_t codec, Bytes stored,
          Bytes content) {
  Item out;
  out.path = std::move(path);
  out.kind_code = kind_code;
  out.codec = codec;
  out.stored = std::move(stored);
  out.content = std::move(content);
  return out;
}

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 9));
  return b;
}

class Decoding : public ::testing::Test {
 protected:
  Result<Archive> open(const Bytes& bytes, const EncryptionCredential& credential = {}) {
    const fs::path path = dir_ / ("a" + std::to_string(n_++) + ".kov");
    kov_test::write_file(path, bytes);
    return Archive::open_with_credential(path, credential);
  }
  Result<void> test_items(const std::vector<Item>& items) {
    auto opened = open(kov_test::valid_archive(V030, items));
    if (!opened) return std::unexpected(std::move(opened).error());
    return opened->test();
  }

  kov_test::TempDir dir_;
  int n_ = 0;
};

TEST_F(Decoding, SizeAndHashAreCheckedInTheirOrder) {
  const Bytes content = pattern(5000);
  Bytes two_frames = zstd_frame(Bytes(content.begin(), content.begin() + 1000));
  const Bytes rest = zstd_frame(Bytes(content.begin() + 1000, content.end()));
  two_frames.insert(two_frames.end(), rest.begin(), rest.end());
  Bytes flipped = zstd_frame(content);
  kov_test::flip_byte(flipped, flipped.size() / 2);
  const Bytes whole = zstd_frame(content);
  struct Case {
    const char* name;
    Item item;
    std::string text;  // empty: passes
  };
  const std::vector<Case> cases{
      {"stored", item("a", 1, 0, text_bytes("abc"), text_bytes("abc")), ""},
      {"empty file", item("a", 1, 0, {}, {}), ""},
      {"one byte longer than declared", item("a", 1, 0, text_bytes("abcd"), text_bytes("abc")),
       "corrupt archive: a expands beyond declared size"},
      {"one byte shorter", item("a", 1, 0, text_bytes("ab"), text_bytes("abc")),
       "corrupt archive: a content hash/size mismatch"},
      {"other bytes", item("a", 1, 0, text_bytes("abd"), text_bytes("abc")),
       "corrupt archive: a content hash/size mismatch"},
      {"zstd", item("a", 1, 1, whole, content), ""},
      {"frames in a row", item("a", 1, 1, two_frames, content), ""},
      {"cut frame", item("a", 1, 1, Bytes(whole.begin(), whole.end() - 1), content),
       "corrupt archive: a: decompression failed: incomplete frame"},
      {"empty zstd stream", item("a", 1, 1, {}, {}),
       "corrupt archive: a: decompression failed: incomplete frame"},
      {"window above 8 MiB", item("a", 1, 1, zstd_frame(content, 24), content),
       "corrupt archive: a: decompression failed: Frame requires too much memory for decoding"},
      {"garbage after the frame",
       item(
           "a", 1, 1,
           [&] {
             Bytes b = whole;
             b.insert(b.end(), 8, 0x55);
             return b;
           }(),
           content),
       "corrupt archive: a: decompression failed: Unknown frame descriptor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = test_items({c.item});
    if (c.text.empty())
      EXPECT_TRUE(result) << result.error().display();
    else
      EXPECT_KOV_ERROR(result, ErrorKind::Corrupt, c.text);
  }
  // A flipped compressed byte fails in the decompressor or in the hash check.
  auto damaged = test_items({item("a", 1, 1, flipped, content)});
  ASSERT_FALSE(damaged);
  const std::string shown = damaged.error().display();
  EXPECT_TRUE(shown.starts_with("corrupt archive: a: decompression failed: ") ||
              shown == "corrupt archive: a content hash/size mismatch")
      << shown;
}

TEST_F(Decoding, LinkTargetsMustBeUtf8AndStayInside) {
  struct Case {
    const char* name;
    std::vector<Item> items;
    std::string text;
  };
  const std::vector<Case> cases{
      {"inside",
       {item("d", 2, 0, {}, {}), item("d/l", 4, 0, text_bytes("../x"), text_bytes("../x"))},
       ""},
      {"climbs out",
       {item("l", 4, 0, text_bytes("../x"), text_bytes("../x"))},
       "corrupt archive: unsafe symbolic link l: target escapes the archive root"},
      {"absolute",
       {item("l", 4, 0, text_bytes("/etc"), text_bytes("/etc"))},
       "corrupt archive: unsafe symbolic link l: absolute targets are forbidden"},
      {"not UTF-8",
       {item("l", 4, 0, Bytes{'a', 0xFF}, Bytes{'a', 0xFF})},
       "corrupt archive: symbolic link target is not UTF-8: l"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = test_items(c.items);
    if (c.text.empty())
      EXPECT_TRUE(result) << result.error().display();
    else
      EXPECT_KOV_ERROR(result, ErrorKind::Corrupt, c.text);
  }
}

TEST_F(Decoding, ProgressCountsBytesAndEntries) {
  auto opened = open(kov_test::valid_archive(
      V030, {item("d", 2, 0, {}, {}),
             item("d/ten", 1, 0, text_bytes("0123456789"), text_bytes("0123456789"))}));
  ASSERT_TRUE(opened);
  ASSERT_TRUE(opened->test());
  EXPECT_EQ(kov_progress_total(), 12u);
  EXPECT_EQ(kov_progress_completed(), 12u);
  auto empty = open(kov_test::valid_archive(V030, {}));
  ASSERT_TRUE(empty);
  ASSERT_TRUE(empty->test());
  EXPECT_EQ(kov_progress_total(), 0u);
  EXPECT_EQ(kov_progress_completed(), 0u);
  // Testing never clears the flag; a set flag ends it before the first buffer.
  archive::CANCELLED.store(true);
  EXPECT_KOV_ERROR(opened->test(), ErrorKind::Cancelled, "operation cancelled");
  archive::CANCELLED.store(false);
}

TEST_F(Decoding, DecodeBufferFollowsMemoryAndArchive) {
  EXPECT_EQ(archive::decode_buffer_size(1 << 20, 2), 128u << 10);
  EXPECT_EQ(archive::decode_buffer_size(1 << 20, 0), 1u << 20);
  EXPECT_EQ(archive::decode_buffer_size(8 << 20, 1024), 8u << 20);
  EXPECT_EQ(archive::decode_buffer_size(64 << 20, 0), 8u << 20);
  EXPECT_EQ(archive::decode_buffer_size(1, 0), 64u << 10);
  EXPECT_EQ(archive::decode_buffer_size(1, 1), 64u << 10);
}

// A legacy header may give any buffer size but 0; a tiny one must not make
// decoding hand on its bytes one at a time.
TEST_F(Decoding, TinyLegacyBufferSizeStillDecodesInLargePieces) {
  const Bytes content = pattern(300'000);
  Bytes bytes = kov_test::valid_archive({1, 0, 0}, {item("s", 1, 0, content, content),
                                                    item("z", 1, 1, zstd_frame(content), content)});
  format::store_u32(std::span(bytes).subspan<40, 4>(), 1);
  kov_test::refresh_header_checksum(bytes);
  auto opened = open(bytes);
  ASSERT_TRUE(opened) << opened.error().display();
  ASSERT_EQ(opened->header().io_buffer_size, 1u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(opened->entries()[i].path);
    kov_test::VectorSink sink;
    ASSERT_TRUE(opened->copy_entry(i, opened->entries()[i], nullptr, sink));
    EXPECT_EQ(sink.bytes, content);
    EXPECT_LE(sink.writes, content.size() / (64 << 10) + 1);
  }
}

TEST_F(Decoding, EncryptedEntriesAreBoundToTheirPlace) {
  kov_test::write_file(dir_ / "big", pattern(200'000));
  auto secret = [] {
    return EncryptionCredential::key_file_secret(util::SecretBytes(Bytes(32, 9))).value();
  };
  const fs::path made = dir_ / "made.kov";
  ASSERT_TRUE(archive::create_archive(made, std::vector<fs::path>{dir_ / "big"}, {secret()}));
  const Bytes bytes = kov_test::read_file(made);
  auto opened = open(bytes, secret());
  ASSERT_TRUE(opened);
  const auto& entry = opened->entries().at(0);
  auto key = opened->authenticate_index({});
  ASSERT_TRUE(key && *key);
  kov_test::VectorSink sink;
  ASSERT_TRUE(opened->copy_entry(0, entry, &**key, sink));
  EXPECT_EQ(sink.bytes, pattern(200'000));
  kov_test::VectorSink elsewhere;
  EXPECT_KOV_ERROR(
      opened->copy_entry(1, entry, &**key, elsewhere), ErrorKind::Corrupt,
      "corrupt archive: big: decompression failed: encrypted data authentication failed");
  EXPECT_KOV_ERROR(opened->copy_entry(0, entry, nullptr, elsewhere), ErrorKind::InvalidInput,
                   "invalid input: encrypted archive requires credentials");
  kov_test::VectorSink failing;
  failing.fail_with = Error::os(ENOSPC);
  EXPECT_KOV_ERROR(opened->copy_entry(0, entry, &**key, failing), ErrorKind::Io,
                   "I/O error: No space left on device (os error 28)");
  // One flipped ciphertext byte: entry data is outside the index digest.
  Bytes damaged = bytes;
  kov_test::flip_byte(damaged, entry.data_offset + 100);
  auto reopened = open(damaged, secret());
  ASSERT_TRUE(reopened);
  EXPECT_KOV_ERROR(
      reopened->test(), ErrorKind::Corrupt,
      "corrupt archive: big: decompression failed: encrypted data authentication failed");
}

}  // namespace
