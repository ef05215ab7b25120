#include <gtest/gtest.h>

#include <functional>

#include "kov_core/archive.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using archive::ArchiveSettings;
using kov_test::Bytes;
using kov_test::EntryRecord;
using kov_test::IndexLayout;

constexpr std::uint64_t DATA_END = 1000;  // index offset of the test archives
const format::Version V1_0{1, 0, 0}, V0_2{0, 2, 0}, V0_3{0, 3, 0}, V0_4{0, 4, 0}, V0_5{0, 5, 0};

EntryRecord file(std::string path, std::uint64_t offset = 64, std::uint64_t size = 1) {
  EntryRecord r;
  r.path = std::move(path);
  r.data_offset = offset;
  r.stored_size = size;
  return r;
}

EntryRecord directory(std::string path) {
  EntryRecord r;
  r.kind_code = 2;
  r.path = std::move(path);
  r.original_size = r.data_offset = r.stored_size = 0;
  return r;
}

EntryRecord kind(EntryRecord r, std::uint8_t code) {
  r.kind_code = code;
  return r;
}

IndexLayout with_settings(const ArchiveSettings& settings, std::vector<EntryRecord> entries) {
  IndexLayout layout = kov_test::index_layout(1);
  layout.settings = kov_test::settings_record(settings);
  layout.entries = std::move(entries);
  return layout;
}

IndexLayout layout_of(int generation, std::vector<EntryRecord> entries) {
  IndexLayout layout = kov_test::index_layout(generation);
  layout.entries = std::move(entries);
  return layout;
}

struct Case {
  const char* name;
  std::function<Bytes()> index;
  format::Version version;
  ErrorKind kind;
  std::string text;
};

Bytes bytes(const IndexLayout& layout) { return kov_test::index_bytes(layout); }

Bytes cut(Bytes b, std::size_t size) {
  b.resize(size);
  return b;
}

// Two entries, the second cut after `keep` bytes; the first has a long path so
// that the capacity check still passes.
Bytes second_record_cut_at(std::size_t keep) {
  IndexLayout l = kov_test::index_layout(1);
  l.entries = {file(std::string(100, 'a')), file("b")};
  const Bytes whole = kov_test::index_bytes(l);
  return cut(whole, 112 + 176 + keep);
}

TEST(DecodeIndex, EachCheckInOrder) {
  const Bytes valid = bytes(layout_of(1, {file("a")}));
  auto layout_with = [](std::function<void(IndexLayout&)> change, int generation = 1) {
    return [=] {
      IndexLayout l = layout_of(generation, {file("a")});
      change(l);
      return bytes(l);
    };
  };
  auto entries = [](std::vector<EntryRecord> list, int generation = 1) {
    return [=] { return bytes(layout_of(generation, list)); };
  };
  auto record = [&](std::function<void(EntryRecord&)> change, int generation = 1) {
    return layout_with([=](IndexLayout& l) { change(l.entries[0]); }, generation);
  };
  const std::string c = "corrupt archive: ";
  const std::string u = "unsupported feature: ";
  const std::vector<Case> cases{
      {"7 bytes", [&] { return cut(valid, 7); }, V0_4, ErrorKind::Corrupt,
       c + "truncated index header"},
      {"magic", layout_with([](IndexLayout& l) { l.magic[6] = '2'; }), V0_4, ErrorKind::Corrupt,
       c + "wrong index magic"},
      {"11 bytes", [&] { return cut(valid, 11); }, V0_4, ErrorKind::Corrupt,
       c + "truncated integer"},
      {"count over the limit whatever the length",
       [&] {
         IndexLayout l = layout_of(1, {});
         l.count = 10'000'001;
         return cut(bytes(l), 12);
       },
       V0_4, ErrorKind::Corrupt, c + "entry count exceeds implementation limit"},
      {"15 bytes", [&] { return cut(valid, 15); }, V0_4, ErrorKind::Corrupt,
       c + "truncated integer"},
      {"unknown version",
       [&] { return valid; },
       {0, 6, 0},
       ErrorKind::Unsupported,
       u + "format version 0.6.0"},
      {"settings size 95", layout_with([](IndexLayout& l) { l.settings_size = 95; }), V0_4,
       ErrorKind::Corrupt, c + "invalid KOV 0.4 settings size"},
      {"settings cut", [&] { return cut(valid, 16 + 95); }, V0_5, ErrorKind::Corrupt,
       c + "truncated KOV 0.4 settings"},
      {"generation 0 with a settings size",
       layout_with([](IndexLayout& l) { l.settings_size = 96; }, 0), V1_0, ErrorKind::Corrupt,
       c + "non-zero reserved index bytes"},
      {"settings error passes through", layout_with([](IndexLayout& l) { l.settings[8] = 5; }),
       V0_4, ErrorKind::Unsupported, u + "compression profile 5"},
      {"capacity", layout_with([](IndexLayout& l) { l.count = 2; }), V0_4, ErrorKind::Corrupt,
       c + "entry count exceeds available index bytes"},
      {"truncated entry", [&] { return second_record_cut_at(2); }, V0_4, ErrorKind::Corrupt,
       c + "truncated entry"},
      {"kind 0", record([](EntryRecord& r) { r.kind_code = 0; }), V0_4, ErrorKind::Unsupported,
       u + "entry kind 0"},
      {"kind 5", record([](EntryRecord& r) { r.kind_code = 5; }), V0_4, ErrorKind::Unsupported,
       u + "entry kind 5"},
      {"link in 1.0.0", record([](EntryRecord& r) { r.kind_code = 4; }, 0), V1_0,
       ErrorKind::Unsupported, u + "entry kind 4"},
      {"link in 0.2.0", record([](EntryRecord& r) { r.kind_code = 4; }, 0), V0_2,
       ErrorKind::Unsupported, u + "entry kind 4"},
      {"codec 2", record([](EntryRecord& r) { r.codec = 2; }), V0_4, ErrorKind::Unsupported,
       u + "entry flags or codec"},
      {"flag bit 2", record([](EntryRecord& r) { r.flags = 4; }), V0_4, ErrorKind::Unsupported,
       u + "entry flags or compression level"},
      {"level 20", record([](EntryRecord& r) { r.codec = 1, r.level = 20; }), V0_5,
       ErrorKind::Unsupported, u + "entry flags or compression level"},
      {"level -6",
       record([](EntryRecord& r) { r.codec = 1, r.level = static_cast<std::uint8_t>(-6); }), V0_5,
       ErrorKind::Unsupported, u + "entry flags or compression level"},
      {"generation 0 level byte", record([](EntryRecord& r) { r.codec = 1, r.level = 3; }, 0), V0_3,
       ErrorKind::Unsupported, u + "entry flags"},
      {"generation 0 flag byte", record([](EntryRecord& r) { r.flags = 1; }, 0), V0_2,
       ErrorKind::Unsupported, u + "entry flags"},
      {"path length 0", record([](EntryRecord& r) { r.path_length = 0; }), V0_4, ErrorKind::Corrupt,
       c + "invalid path length"},
      {"path length over 1 MiB", record([](EntryRecord& r) { r.path_length = 1'048'577; }), V0_4,
       ErrorKind::Corrupt, c + "invalid path length"},
      {"cut in the integers", [&] { return second_record_cut_at(30); }, V0_4, ErrorKind::Corrupt,
       c + "truncated integer"},
      {"cut in the hash", [&] { return second_record_cut_at(50); }, V0_4, ErrorKind::Corrupt,
       c + "truncated entry hash"},
      {"cut in the path", record([](EntryRecord& r) { r.path_length = 5; }), V0_4,
       ErrorKind::Corrupt, c + "truncated entry path"},
      {"path not UTF-8", record([](EntryRecord& r) { r.path = "a\xff"; }), V0_4, ErrorKind::Corrupt,
       c + "entry path is not UTF-8"},
      {"path with backslash", record([](EntryRecord& r) { r.path = "a\\b"; }), V0_4,
       ErrorKind::Corrupt, c + "unsafe path in index: \"a\\\\b\""},
      {"absolute path", record([](EntryRecord& r) { r.path = "/etc/passwd"; }), V0_4,
       ErrorKind::Corrupt, c + "absolute path in index: /etc/passwd"},
      {"parent component", record([](EntryRecord& r) { r.path = "a/../b"; }), V0_4,
       ErrorKind::Corrupt, c + "unsafe path in index: a/../b"},
      {"non-canonical", record([](EntryRecord& r) { r.path = "a//b"; }), V0_4, ErrorKind::Corrupt,
       c + "non-canonical path in index: a//b"},
      {"duplicate", entries({file("a"), file("a")}), V0_4, ErrorKind::Corrupt,
       c + "duplicate entry kind/path: a"},
      {"case collision names the earlier path first", entries({file("Notes"), file("NOTES")}), V0_4,
       ErrorKind::Corrupt, c + "portable path collision: Notes and NOTES"},
      {"NFC collision", entries({file("caf\xC3\xA9"), file("cafe\xCC\x81")}), V0_4,
       ErrorKind::Corrupt, c + "portable path collision: caf\xC3\xA9 and cafe\xCC\x81"},
      {"file and directory", entries({file("a"), directory("a")}), V0_4, ErrorKind::Corrupt,
       c + "conflicting entry kinds for path: a"},
      {"link and file", entries({kind(file("a"), 4), file("a")}), V0_4, ErrorKind::Corrupt,
       c + "conflicting entry kinds for path: a"},
      {"directory with data", entries({[] {
         EntryRecord d = directory("d");
         d.original_size = 1;
         return d;
       }()}),
       V0_4, ErrorKind::Corrupt, c + "directory has file data: d"},
      {"directory with a flag", entries({[] {
         EntryRecord d = directory("d");
         d.flags = 1;
         return d;
       }()}),
       V0_4, ErrorKind::Corrupt, c + "directory has file data: d"},
      {"data before 64", entries({file("a", 63, 1)}), V0_4, ErrorKind::Corrupt,
       c + "file data out of bounds: a"},
      {"data past the index", entries({file("a", DATA_END - 1, 2)}), V0_4, ErrorKind::Corrupt,
       c + "file data out of bounds: a"},
      {"overflowing end", entries({file("a", 64, UINT64_MAX)}), V0_4, ErrorKind::Corrupt,
       c + "file data out of bounds: a"},
      {"encrypted entry in a plain archive", record([](EntryRecord& r) { r.flags = 2; }), V0_4,
       ErrorKind::Corrupt, c + "entry encryption flag does not match archive settings: a"},
      {"clear entry in an encrypted archive",
       [] {
         return bytes(with_settings(kov_test::key_file_settings(), {directory("d"), file("d/a")}));
       },
       V0_4, ErrorKind::Corrupt, c + "entry encryption flag does not match archive settings: d/a"},
      {"stored with a level", record([](EntryRecord& r) { r.level = 1; }), V0_4, ErrorKind::Corrupt,
       c + "stored entry has a compression level: a"},
      {"trailing bytes", layout_with([](IndexLayout& l) { l.trailing = {0}; }), V0_4,
       ErrorKind::Corrupt, c + "trailing bytes in index"},
      {"fork without file, after the trailing check", entries({kind(file("a"), 3), file("b")}),
       V0_4, ErrorKind::Corrupt, c + "resource fork has no file entry: a"},
      {"empty link", entries({[] {
         EntryRecord l = kind(file("l", 64, 0), 4);
         l.original_size = 0;
         return l;
       }()}),
       V0_4, ErrorKind::Corrupt, c + "invalid symbolic link payload: l"},
      {"compressed link", entries({[] {
         EntryRecord l = kind(file("l"), 4);
         l.codec = 1;
         return l;
       }()}),
       V0_5, ErrorKind::Corrupt, c + "invalid symbolic link payload: l"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_KOV_ERROR(archive::decode_index(tc.index(), DATA_END, tc.version), tc.kind, tc.text);
  }
}

TEST(DecodeIndex, ValidIndexesOfEveryVersion) {
  for (const auto version : {V1_0, V0_2, V0_3, V0_4, V0_5}) {
    const int generation = format::format_generation(version).value();
    SCOPED_TRACE(version.text());
    EXPECT_TRUE(archive::decode_index(bytes(layout_of(generation, {})), DATA_END, version));
    EXPECT_EQ(bytes(layout_of(generation, {})).size(), generation == 0 ? 16u : 112u);
  }
  // A zstd entry of generation 0 takes the default level; a stored one level 0.
  EntryRecord zstd = file("z");
  zstd.codec = 1;
  auto old = archive::decode_index(bytes(layout_of(0, {zstd, file("s", 65), directory("d")})),
                                   DATA_END, V0_2);
  ASSERT_TRUE(old) << old.error().display();
  EXPECT_EQ(old->settings, archive::generation0_settings());
  EXPECT_EQ(old->entries[0].compression_level, 3);
  EXPECT_EQ(old->entries[0].codec, "zstd");
  EXPECT_EQ(old->entries[1].compression_level, 0);
  EXPECT_EQ(old->entries[1].codec, "store");
  // Links are allowed from 0.3.0 on.
  EXPECT_TRUE(archive::decode_index(bytes(layout_of(0, {kind(file("l"), 4)})), DATA_END, V0_3));
}

TEST(DecodeIndex, BoundaryCasesThatDecode) {
  const std::vector<std::pair<const char*, std::vector<EntryRecord>>> cases{
      {"data ending at the index", {file("a", DATA_END - 10, 10)}},
      {"empty file at the index offset", {file("a", DATA_END, 0)}},
      {"fork before its file", {kind(file("a", 65), 3), file("a")}},
      {"fork after its file", {file("a"), kind(file("a", 65), 3)}},
      {"a/b and a_b", {file("a/b"), file("a_b", 65)}},
  };
  for (const auto& [name, list] : cases) {
    SCOPED_TRACE(name);
    auto decoded = archive::decode_index(bytes(layout_of(1, list)), DATA_END, V0_4);
    EXPECT_TRUE(decoded) << decoded.error().display();
  }
  // An encrypted 0.4.0 archive: directories carry no encryption flag.
  EntryRecord secret = file("d/a");
  secret.flags = 2;
  auto encrypted = archive::decode_index(
      bytes(with_settings(kov_test::key_file_settings(), {directory("d"), secret})), DATA_END,
      V0_4);
  ASSERT_TRUE(encrypted) << encrypted.error().display();
  EXPECT_TRUE(encrypted->entries[1].encrypted);
}

TEST(DecodeIndex, EntryDataMustNotOverlap) {
  struct OverlapCase {
    const char* name;
    std::vector<EntryRecord> entries;
    const char* text;  // nullptr: decodes
  };
  const std::vector<OverlapCase> cases{
      {"partial overlap", {file("a", 100, 50), file("b", 149, 10)}, "a and b"},
      {"one inside another", {file("a", 100, 50), file("b", 110, 5)}, "a and b"},
      {"identical regions", {file("a", 100, 50), file("b", 100, 50)}, "a and b"},
      {"a file and its fork", {file("a", 100, 50), kind(file("a", 120, 50), 3)}, "a and a"},
      {"a link inside a file", {file("a", 100, 50), kind(file("l", 120, 1), 4)}, "a and l"},
      {"out of order, earlier in the index first",
       {file("a", 200, 50), file("b", 100, 101)},
       "a and b"},
      {"the first overlap in file order",
       {file("a", 300, 50), file("b", 100, 10), file("c", 340, 5), file("d", 105, 10)},
       "b and d"},
      {"many in order, then one far back",
       {file("a", 64, 10), file("b", 74, 10), file("c", 84, 10), file("d", 70, 1)},
       "a and d"},
      {"adjacent regions", {file("a", 100, 50), file("b", 150, 50)}, nullptr},
      {"out of order but disjoint",
       {file("a", 300, 50), file("b", 100, 200), file("c", 350, 10)},
       nullptr},
      {"empty regions at one offset",
       {file("a", 100, 0), file("b", 100, 0), file("c", 100, 10)},
       nullptr},
      {"an empty region inside another", {file("a", 100, 50), file("b", 120, 0)}, nullptr},
      {"directories between regions",
       {file("a", 100, 50), directory("d"), file("d/b", 150, 1)},
       nullptr},
  };
  for (const OverlapCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto decoded = archive::decode_index(bytes(layout_of(1, tc.entries)), DATA_END, V0_4);
    if (tc.text == nullptr)
      EXPECT_TRUE(decoded) << decoded.error().display();
    else
      EXPECT_KOV_ERROR(decoded, ErrorKind::Corrupt,
                       std::string("corrupt archive: overlapping entry data: ") + tc.text);
  }
  // Every version refuses it, after the checks of the whole list.
  const std::vector<EntryRecord> overlapping{file("a", 100, 50), file("b", 120, 50)};
  for (const auto version : {V1_0, V0_2, V0_3, V0_5}) {
    SCOPED_TRACE(version.text());
    EXPECT_KOV_ERROR(archive::decode_index(
                         bytes(layout_of(format::format_generation(version).value(), overlapping)),
                         DATA_END, version),
                     ErrorKind::Corrupt, "corrupt archive: overlapping entry data: a and b");
  }
  EXPECT_KOV_ERROR(
      archive::decode_index(bytes(layout_of(1, {file("a", 100, 50), kind(file("f", 120, 50), 3)})),
                            DATA_END, V0_4),
      ErrorKind::Corrupt, "corrupt archive: resource fork has no file entry: f");
}

TEST(DecodeIndex, ZeroIndexTagOnlyIn050) {
  ArchiveSettings s = kov_test::key_file_settings();
  s.index_tag.fill(0);
  const Bytes index = bytes(with_settings(s, {}));
  EXPECT_TRUE(archive::decode_index(index, DATA_END, V0_5));
  EXPECT_KOV_ERROR(archive::decode_index(index, DATA_END, V0_4), ErrorKind::Corrupt,
                   "corrupt archive: invalid encrypted archive settings");
}

TEST(DecodeIndex, CapacityIsCheckedBeforeAnythingIsReserved) {
  IndexLayout l = layout_of(1, {});
  l.count = 10'000'000;
  l.trailing = Bytes(1000, 0);
  EXPECT_KOV_ERROR(archive::decode_index(bytes(l), DATA_END, V0_4), ErrorKind::Corrupt,
                   "corrupt archive: entry count exceeds available index bytes");
}

TEST(DecodeSettings, ChecksInOrder) {
  using P = std::vector<std::pair<std::size_t, std::uint8_t>>;
  struct SettingsCase {
    const char* name;
    ArchiveSettings settings;
    P patches;
    std::string text;
  };
  const auto plain = kov_test::plain_settings();
  const auto key = kov_test::key_file_settings();
  const auto pass = kov_test::password_settings();
  const std::string c = "corrupt archive: ";
  const std::vector<SettingsCase> cases{
      {"magic", plain, {{6, '2'}}, c + "invalid KOV 0.4 settings record"},
      {"profile first", plain, {{8, 5}, {32, 7}}, "unsupported feature: compression profile 5"},
      {"then the mode", plain, {{32, 7}, {9, 100}}, "unsupported feature: encryption mode 7"},
      {"flag bits", plain, {{10, 4}}, c + "invalid KOV 0.4 compression settings"},
      {"high flag byte", plain, {{11, 1}}, c + "invalid KOV 0.4 compression settings"},
      {"level 20", plain, {{9, 20}}, c + "invalid KOV 0.4 compression settings"},
      {"memory limit 15", plain, {{12, 15}, {13, 0}}, c + "invalid KOV 0.4 compression settings"},
      {"memory limit 257", plain, {{12, 1}, {13, 1}}, c + "invalid KOV 0.4 compression settings"},
      {"no threads", plain, {{20, 0}}, c + "invalid KOV 0.4 compression settings"},
      {"threshold 899",
       plain,
       {{22, 0x83}, {23, 0x03}},
       c + "invalid KOV 0.4 compression settings"},
      {"sample over 1 MiB",
       plain,
       {{24, 1}, {26, 0x10}},
       c + "invalid KOV 0.4 compression settings"},
      {"buffer under 64 KiB",
       plain,
       {{28, 0xFF}, {29, 0xFF}, {30, 0}},
       c + "invalid KOV 0.4 compression settings"},
      {"buffer over 8 MiB",
       plain,
       {{30, 0x80}, {31, 0}, {28, 1}},
       c + "invalid KOV 0.4 compression settings"},
      {"reserved byte", plain, {{35, 1}}, c + "invalid KOV 0.4 compression settings"},
      {"plain with a derivation byte", plain, {{33, 1}}, c + "unexpected encryption parameters"},
      {"plain with a salt", plain, {{50, 1}}, c + "unexpected encryption parameters"},
      {"plain with a tag", plain, {{95, 1}}, c + "unexpected encryption parameters"},
      {"password derivation byte", pass, {{33, 2}}, c + "invalid password derivation parameters"},
      {"password memory",
       pass,
       {{36, 0}, {37, 0x3F}, {38, 0}},
       c + "invalid password derivation parameters"},
      {"password iterations 11", pass, {{40, 11}}, c + "invalid password derivation parameters"},
      {"password lanes 5", pass, {{34, 5}}, c + "invalid password derivation parameters"},
      {"key file lanes", key, {{34, 1}}, c + "invalid key-file parameters"},
      {"key file derivation byte", key, {{33, 1}}, c + "invalid key-file parameters"},
      {"chunk too small",
       key,
       {{76, 0xFF}, {77, 0x3F}, {78, 0}},
       c + "invalid encrypted archive settings"},
      {"chunk too large",
       pass,
       {{76, 1}, {77, 0}, {78, 0x10}},
       c + "invalid encrypted archive settings"},
  };
  for (const SettingsCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    const Bytes record = kov_test::settings_record(tc.settings, tc.patches);
    EXPECT_KOV_ERROR(
        archive::decode_settings(record, false),
        tc.name == std::string("profile first") || tc.name == std::string("then the mode")
            ? ErrorKind::Unsupported
            : ErrorKind::Corrupt,
        tc.text);
  }
  ArchiveSettings zero_salt = key;
  zero_salt.salt.fill(0);
  EXPECT_KOV_ERROR(archive::decode_settings(kov_test::settings_record(zero_salt), true),
                   ErrorKind::Corrupt, "corrupt archive: invalid encrypted archive settings");
  EXPECT_KOV_ERROR(archive::decode_settings(Bytes(95, 0), true), ErrorKind::Corrupt,
                   "corrupt archive: invalid KOV 0.4 settings record");
  ArchiveSettings level = plain;
  level.compression_level = -5;
  auto ok = archive::decode_settings(kov_test::settings_record(level), false);
  ASSERT_TRUE(ok) << ok.error().display();
  EXPECT_EQ(*ok, level);
}

}  // namespace
