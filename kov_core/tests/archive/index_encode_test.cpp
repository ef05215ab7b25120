#include <gtest/gtest.h>

#include "kov_core/archive.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using archive::Entry;
using archive::EntryKind;
using kov_test::Bytes;

Entry file_entry(std::string path, std::uint64_t offset, std::uint64_t size) {
  Entry e;
  e.path = std::move(path);
  e.kind = EntryKind::File;
  e.codec = "zstd";
  e.codec_id = archive::CODEC_ZSTD;
  e.compression_level = 3;
  e.mode = 0644;
  e.modified_unix = 1'700'000'000;
  e.original_size = 1000;
  e.stored_size = size;
  e.data_offset = offset;
  e.sha256_bytes.fill(0x5A);
  return e;
}

TEST(EncodeIndex, EmptyIndexIs112Bytes) {
  const auto index = archive::encode_index({}, kov_test::plain_settings()).value();
  ASSERT_EQ(index.size(), 112u);
  EXPECT_TRUE(std::equal(archive::INDEX_MAGIC.begin(), archive::INDEX_MAGIC.end(), index.begin()));
  EXPECT_EQ(format::load_u32(&index[8]), 0u);
  EXPECT_EQ(format::load_u32(&index[12]), 96u);
  EXPECT_TRUE(std::equal(archive::SETTINGS_MAGIC.begin(), archive::SETTINGS_MAGIC.end(),
                         index.begin() + 16));
}

TEST(EncodeIndex, EntryRecordLayout) {
  const Entry e = file_entry("dir/a.b", 0x1112131415161718, 0x2122232425262728);
  const auto index =
      archive::encode_index(std::vector<Entry>{e}, kov_test::plain_settings()).value();
  ASSERT_EQ(index.size(), 112u + 83u);  // 76 fixed bytes and the 7-byte path
  const std::uint8_t* r = index.data() + 112;
  EXPECT_EQ(r[0], 1);  // kind + 1
  EXPECT_EQ(r[1], 1);  // zstd
  EXPECT_EQ(r[2], 3);
  EXPECT_EQ(r[3], 0);
  EXPECT_EQ(format::load_u32(r + 4), 7u);
  EXPECT_EQ(format::load_u64(r + 28), 0x1112131415161718u);  // the offset comes before the size
  EXPECT_EQ(format::load_u64(r + 36), 0x2122232425262728u);
  // The test builder writes the same record from its own field list.
  kov_test::EntryRecord expected;
  expected.codec = 1;
  expected.level = 3;
  expected.mode = 0644;
  expected.modified_unix = 1'700'000'000;
  expected.original_size = 1000;
  expected.data_offset = e.data_offset;
  expected.stored_size = e.stored_size;
  expected.sha256.fill(0x5A);
  expected.path = "dir/a.b";
  EXPECT_EQ(Bytes(index.begin() + 112, index.end()), kov_test::entry_record(expected));
}

TEST(EncodeIndex, DirectoryAndFlags) {
  Entry dir;
  dir.path = "d";
  dir.kind = EntryKind::Directory;
  dir.mode = 0755;
  Entry enc = file_entry("d/x", 64, 10);
  enc.encrypted = true;
  enc.adaptively_stored = true;
  const auto index =
      archive::encode_index(std::vector<Entry>{dir, enc}, kov_test::plain_settings()).value();
  const std::uint8_t* d = index.data() + 112;
  EXPECT_EQ(d[0], 2);
  EXPECT_EQ(d[1], 0);
  EXPECT_EQ(d[2], 0);
  EXPECT_EQ(d[3], 0);
  EXPECT_EQ(format::load_u64(d + 20), 0u);
  EXPECT_EQ(format::load_u64(d + 28), 0u);
  EXPECT_EQ(format::load_u64(d + 36), 0u);
  EXPECT_EQ(d[77 + 3], 3);  // both entry flag bits of the second record
}

TEST(EncodeSettings, FieldOffsets) {
  archive::ArchiveSettings s = kov_test::password_settings();
  s.adaptive_selection = true;
  auto r = archive::encode_settings(s);
  EXPECT_EQ(r[10], 1);
  EXPECT_EQ(r[11], 0);
  s.constrained_at_creation = true;
  r = archive::encode_settings(s);
  EXPECT_EQ(r[10], 3);
  EXPECT_EQ(r[11], 0);
  EXPECT_EQ(r[8], 0);                               // profile
  EXPECT_EQ(r[9], 3);                               // level
  EXPECT_EQ(format::load_u32(&r[12]), 256u);        // memory limit
  EXPECT_EQ(format::load_u32(&r[28]), 1'048'576u);  // io buffer
  EXPECT_EQ(r[32], 1);                              // mode, twice
  EXPECT_EQ(r[33], 1);
  EXPECT_EQ(r[34], 1);  // lanes
  EXPECT_EQ(r[35], 0);
  EXPECT_EQ(format::load_u32(&r[36]), 65'536u);
  EXPECT_EQ(format::load_u32(&r[40]), 3u);
  EXPECT_EQ(r[44], 0x11);                        // salt
  EXPECT_EQ(r[60], 0x22);                        // nonce prefix
  EXPECT_EQ(format::load_u32(&r[76]), 65'536u);  // chunk size
  EXPECT_EQ(r[80], 0x33);                        // index tag
  EXPECT_EQ(r[95], 0x33);
}

TEST(EncodeIndex, RoundTripsThroughTheDecoder) {
  for (const auto& settings :
       {kov_test::plain_settings(), kov_test::key_file_settings(), kov_test::password_settings()}) {
    const bool encrypted = settings.encryption != crypto::EncryptionMode::None;
    std::vector<Entry> entries{file_entry("a", 64, 10), file_entry("b/c", 74, 0)};
    Entry dir;
    dir.path = "b";
    dir.kind = EntryKind::Directory;
    entries.push_back(dir);
    Entry link = file_entry("b/l", 74, 1);
    link.kind = EntryKind::Symlink;
    link.codec = "store";
    link.codec_id = archive::CODEC_STORE;
    link.compression_level = 0;
    link.original_size = 1;
    entries.push_back(link);
    for (Entry& e : entries) {
      if (e.kind != EntryKind::Directory) e.encrypted = encrypted;
    }
    const auto index = archive::encode_index(entries, settings).value();
    EXPECT_EQ(archive::encode_index(entries, settings).value(), index);  // deterministic
    for (const auto version : {format::VERSION_0_4_0, format::VERSION_0_5_0}) {
      auto decoded = archive::decode_index(index, 100, version);
      ASSERT_TRUE(decoded) << decoded.error().display();
      EXPECT_EQ(decoded->settings, settings);
      EXPECT_EQ(decoded->entries, entries);
      EXPECT_EQ(archive::encode_index(decoded->entries, decoded->settings).value(), index);
    }
  }
}

}  // namespace
