// Opens archives built byte by byte outside kov (fixtures/make_fixtures.py)
// and checks that kov reports exactly what their bytes hold. A misreading of
// the layout shared by kov's writer and reader would pass every round trip;
// it fails here.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "fixtures/tiny_archives.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/crypto.hpp"
#include "kov_core/secret.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::Result;
using kov_core::archive::Archive;
using kov_core::archive::hex;
using kov_core::crypto::EncryptionCredential;
using kov_core::crypto::EncryptionMode;
using kov_test::fixtures::Fixture;

// The fixture's archive and key file written out; a key file gets mode 0600,
// since a broader one is refused.
struct Files {
  explicit Files(const Fixture& fixture) {
    kov_test::write_file(archive, kov_test::from_hex(fixture.archive_hex));
    if (!fixture.key_file_hex.empty()) {
      kov_test::write_file(key_file, kov_test::from_hex(fixture.key_file_hex));
      std::filesystem::permissions(
          key_file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
          std::filesystem::perm_options::replace);
    }
  }
  kov_test::TempDir dir;
  std::filesystem::path archive = dir / "fixture.kov";
  std::filesystem::path key_file = dir / "fixture.kovkey";
};

Result<EncryptionCredential> credential_for(const Fixture& fixture, const Files& files) {
  if (!fixture.key_file_hex.empty()) return kov_core::crypto::read_key_file(files.key_file);
  if (!fixture.password.empty()) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(fixture.password.data());
    return EncryptionCredential::password(
        kov_core::util::SecretBytes(std::span<const std::uint8_t>(bytes, fixture.password.size())));
  }
  return EncryptionCredential{};
}

void expect_settings(const kov_core::archive::ArchiveSettings& got,
                     const kov_test::fixtures::ExpectedSettings& want) {
  EXPECT_EQ(got.profile, want.profile);
  EXPECT_EQ(got.compression_level, want.compression_level);
  EXPECT_FALSE(got.adaptive_selection);
  EXPECT_EQ(got.constrained_at_creation, want.constrained_at_creation);
  EXPECT_EQ(got.memory_limit_mib, want.memory_limit_mib);
  EXPECT_EQ(got.available_memory_mib, want.available_memory_mib);
  EXPECT_EQ(got.thread_limit, 1u);
  EXPECT_EQ(got.store_threshold_permille, 1000u);
  EXPECT_EQ(got.sample_size, 0u);
  EXPECT_EQ(got.io_buffer_size, want.io_buffer_size);
  EXPECT_EQ(got.encryption, want.encryption);
  EXPECT_EQ(got.kdf_memory_kib, want.kdf_memory_kib);
  EXPECT_EQ(got.kdf_iterations, want.kdf_iterations);
  EXPECT_EQ(got.kdf_lanes, want.kdf_lanes);
  EXPECT_EQ(got.encryption_chunk_size, want.encryption_chunk_size);
  EXPECT_EQ(hex(got.salt), want.salt);
  EXPECT_EQ(hex(got.nonce_prefix), want.nonce_prefix);
  EXPECT_EQ(hex(got.index_tag), want.index_tag);
}

void expect_contents(const Archive& archive, const Fixture& fixture) {
  EXPECT_EQ(archive.format_version(), fixture.version);
  EXPECT_EQ(archive.archive_id(), fixture.archive_id);
  const auto& header = archive.header();
  EXPECT_EQ(header.created_unix, fixture.created_unix);
  EXPECT_EQ(header.flags, fixture.flags);
  EXPECT_EQ(header.profile, fixture.profile);
  EXPECT_EQ(header.io_buffer_size, fixture.io_buffer_size);
  EXPECT_EQ(header.index_offset, fixture.index_offset);
  EXPECT_EQ(header.index_length, fixture.index_length);
  expect_settings(archive.settings(), fixture.settings);

  const auto& entries = archive.entries();
  ASSERT_EQ(entries.size(), fixture.entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& got = entries[i];
    const auto& want = fixture.entries[i];
    SCOPED_TRACE(std::string(want.path));
    EXPECT_EQ(got.path, want.path);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.codec, want.codec);
    EXPECT_EQ(got.codec_id, want.codec == "zstd" ? kov_core::archive::CODEC_ZSTD
                                                 : kov_core::archive::CODEC_STORE);
    EXPECT_EQ(got.compression_level, want.compression_level);
    EXPECT_FALSE(got.adaptively_stored);
    EXPECT_EQ(got.encrypted, want.encrypted);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.modified_unix, want.modified_unix);
    EXPECT_EQ(got.original_size, want.original_size);
    EXPECT_EQ(got.stored_size, want.stored_size);
    EXPECT_EQ(got.data_offset, want.data_offset);
    EXPECT_EQ(got.sha256(), want.sha256);
    EXPECT_EQ(hex(got.sha256_bytes), want.sha256);
  }
}

TEST(HandBuiltArchives, OpenReportTheirBytesAndTest) {
  for (const Fixture& fixture : kov_test::fixtures::ALL) {
    SCOPED_TRACE(std::string(fixture.name));
    const Files files(fixture);
    auto credential = credential_for(fixture, files);
    ASSERT_TRUE(credential.has_value()) << credential.error().display();
    auto archive = Archive::open_with_credential(files.archive, *credential);
    ASSERT_TRUE(archive.has_value()) << archive.error().display();
    expect_contents(*archive, fixture);
    auto tested = archive->test();
    EXPECT_TRUE(tested.has_value()) << tested.error().display();
  }
}

// An index in clear opens and lists without the key, but its entries cannot be
// tested; a sealed index cannot even be opened.
TEST(HandBuiltArchives, EncryptedOnesNeedTheirCredential) {
  namespace fx = kov_test::fixtures;
  {
    const Files files(fx::V0_4_0_KEY_FILE);
    auto archive = Archive::open(files.archive);
    ASSERT_TRUE(archive.has_value()) << archive.error().display();
    expect_contents(*archive, fx::V0_4_0_KEY_FILE);
    EXPECT_KOV_ERROR(archive->test(), ErrorKind::InvalidInput,
                     "invalid input: this archive requires its KOV key file");
  }
  struct Case {
    const Fixture& fixture;
    const char* text;
  };
  for (const Case& c :
       {Case{fx::V0_5_0_KEY_FILE, "invalid input: this archive requires its KOV key file"},
        Case{fx::V0_5_0_PASSWORD, "invalid input: this archive requires a password"}}) {
    SCOPED_TRACE(std::string(c.fixture.name));
    const Files files(c.fixture);
    EXPECT_KOV_ERROR(Archive::open(files.archive), ErrorKind::InvalidInput, c.text);
  }
}

}  // namespace
