#include "kov_core/signature.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "kov_core/archive.hpp"
#include "kov_core/crypto.hpp"
#include "kov_core/format.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using kov_test::from_hex;
using kov_test::read_file;

namespace fs = std::filesystem;
namespace signature = kov_core::signature;
using kov_core::ErrorKind;
using kov_core::archive::hex;
using kov_test::Bytes;
using kov_test::text_bytes;

constexpr std::string_view RFC_SEED =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr std::string_view RFC_PUBLIC_KEY =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view MESSAGE_PREFIX_HEX =
    "4b4f56206465746163686564207369676e617475726520763100";

// magic, the 32-byte secret, SHA-256 of the first 40 bytes.
void write_key_file(const fs::path& path, const Bytes& seed, mode_t mode = 0600) {
  Bytes image(kov_core::crypto::KEY_FILE_SIZE);
  std::copy(kov_core::crypto::KEY_FILE_MAGIC.begin(), kov_core::crypto::KEY_FILE_MAGIC.end(),
            image.begin());
  std::copy(seed.begin(), seed.end(), image.begin() + 8);
  const auto sum = kov_core::format::digest(std::span<const std::uint8_t>(image).first(40));
  std::copy(sum.begin(), sum.end(), image.begin() + 40);
  kov_test::write_file(path, image);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

mode_t permissions(const fs::path& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

class Signature : public ::testing::Test {
 protected:
  void SetUp() override {
    write_key_file(key_a, from_hex(RFC_SEED));
    write_key_file(key_b, Bytes(32, 0x42));
    kov_test::write_file(archive, text_bytes("abc"));
    ASSERT_TRUE(signature::sign_archive(archive, key_a, sig_a));
    ASSERT_TRUE(signature::export_signing_public_key(key_a, pub_a));
    ASSERT_TRUE(signature::export_signing_public_key(key_b, pub_b));
  }

  kov_test::TempDir dir;
  fs::path key_a = dir / "a.kovkey", key_b = dir / "b.kovkey";
  fs::path archive = dir / "archive.kov";
  fs::path sig_a = dir / "archive.kov.sig";
  fs::path pub_a = dir / "a.pub", pub_b = dir / "b.pub";
};

TEST_F(Signature, SigningKeyComesFromTheKeyFileSecretAsSeed) {
  const auto key = signature::signing_key(key_a);
  ASSERT_TRUE(key) << key.error().display();
  EXPECT_EQ(hex(key->public_key), RFC_PUBLIC_KEY);
  EXPECT_EQ(hex(key->secret.span()), std::string(RFC_SEED) + std::string(RFC_PUBLIC_KEY));
}

TEST_F(Signature, MessageIsPrefixAndDigestOfTheWholeFile) {
  EXPECT_EQ(hex(signature::message(archive).value()),
            std::string(MESSAGE_PREFIX_HEX) +
                "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // Several 64 KiB blocks and a partial one; a link is followed.
  Bytes big(3 * 65536 + 17);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 31 + i / 65536);
  kov_test::write_file(dir / "big", big);
  fs::create_symlink(dir / "big", dir / "link");
  const std::string expected = std::string(MESSAGE_PREFIX_HEX) + hex(kov_core::format::digest(big));
  EXPECT_EQ(hex(signature::message(dir / "big").value()), expected);
  EXPECT_EQ(hex(signature::message(dir / "link").value()), expected);

  EXPECT_KOV_ERROR(signature::message(dir / "missing"), ErrorKind::Io,
                   "I/O error: No such file or directory (os error 2)");
  EXPECT_KOV_ERROR(signature::message(dir.path()), ErrorKind::Io,
                   "I/O error: Is a directory (os error 21)");
}

TEST_F(Signature, SignatureFileIsMagicKeyAndDeterministicSignature) {
  // Computed independently: Ed25519 with the RFC 8032 test 1 key over the message of "abc".
  const std::string expected = hex(signature::SIGNATURE_MAGIC) + std::string(RFC_PUBLIC_KEY) +
                               "39dacc304a2eab601798d627e3f391b305e87e951e4f9ab26b2af39c2a318435"
                               "d8989413e1f1a3ba8367cc382410bc2601c7480f4edda92d2b3cc58abf57d40a";
  EXPECT_EQ(hex(read_file(sig_a)), expected);

  ASSERT_TRUE(signature::sign_archive(archive, key_a, dir / "again.sig"));
  EXPECT_EQ(read_file(dir / "again.sig"), read_file(sig_a));
  EXPECT_TRUE(signature::verify_archive_signature(archive, sig_a, pub_a));
  EXPECT_TRUE(signature::verify_archive_signature(archive, dir / "again.sig", pub_a));
}

TEST_F(Signature, ExportedKeyMatchesSignaturesAndFilesAreOwnerOnly) {
  const mode_t old_mask = ::umask(022);
  const bool signed_ok = signature::sign_archive(archive, key_b, dir / "b.sig").has_value();
  const bool exported_ok = signature::export_signing_public_key(key_b, dir / "b2.pub").has_value();
  ::umask(old_mask);
  ASSERT_TRUE(signed_ok && exported_ok);

  EXPECT_EQ(permissions(dir / "b.sig"), 0600u);
  EXPECT_EQ(permissions(dir / "b2.pub"), 0600u);
  const Bytes sig = read_file(dir / "b.sig");
  ASSERT_EQ(sig.size(), signature::SIGNATURE_FILE_SIZE);
  EXPECT_EQ(read_file(dir / "b2.pub"), Bytes(sig.begin() + 8, sig.begin() + 40));
  EXPECT_EQ(read_file(pub_a), from_hex(RFC_PUBLIC_KEY));
}

TEST_F(Signature, EmptyArchiveSignsAndVerifies) {
  kov_test::write_file(dir / "empty", {});
  ASSERT_TRUE(signature::sign_archive(dir / "empty", key_a, dir / "empty.sig"));
  EXPECT_TRUE(signature::verify_archive_signature(dir / "empty", dir / "empty.sig", pub_a));
  EXPECT_FALSE(signature::verify_archive_signature(archive, dir / "empty.sig", pub_a));
}

TEST_F(Signature, FailuresBeforeWritingLeaveNoOutput) {
  write_key_file(dir / "wide.kovkey", Bytes(32, 7), 0644);
  struct Case {
    const char* name;
    fs::path archive, key;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {"broad key file permissions", archive, dir / "wide.kovkey", ErrorKind::InvalidInput,
       "invalid input: KOV key file permissions are too broad; use mode 0600"},
      {"missing key file", archive, dir / "none.kovkey", ErrorKind::Io,
       "I/O error: No such file or directory (os error 2)"},
      {"unreadable archive", dir.path(), key_a, ErrorKind::Io,
       "I/O error: Is a directory (os error 21)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_KOV_ERROR(signature::sign_archive(c.archive, c.key, dir / "out.sig"), c.kind, c.text);
    EXPECT_FALSE(fs::exists(dir / "out.sig"));
    if (c.archive == archive) {
      EXPECT_KOV_ERROR(signature::export_signing_public_key(c.key, dir / "out.pub"), c.kind,
                       c.text);
      EXPECT_FALSE(fs::exists(dir / "out.pub"));
    }
  }
}

TEST_F(Signature, ExistingOutputIsNeverReplaced) {
  kov_test::write_file(dir / "taken", text_bytes("keep"));
  ASSERT_EQ(::chmod((dir / "taken").c_str(), 0644), 0);
  fs::create_directory(dir / "subdir");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  const char* exists = "I/O error: File exists (os error 17)";

  EXPECT_KOV_ERROR(signature::sign_archive(archive, key_a, dir / "taken"), ErrorKind::Io, exists);
  EXPECT_KOV_ERROR(signature::export_signing_public_key(key_a, dir / "taken"), ErrorKind::Io,
                   exists);
  EXPECT_EQ(read_file(dir / "taken"), text_bytes("keep"));
  EXPECT_EQ(permissions(dir / "taken"), 0644u);

  EXPECT_KOV_ERROR(signature::write_new(dir / "subdir", text_bytes("x")), ErrorKind::Io, exists);
  EXPECT_KOV_ERROR(signature::write_new(dir / "dangling", text_bytes("x")), ErrorKind::Io, exists);
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST_F(Signature, SmallFileSizesAreCheckedFirst) {
  Bytes sig = read_file(sig_a);
  kov_test::write_file(dir / "short.pub", Bytes(31, 1));
  kov_test::write_file(dir / "long.pub", Bytes(33, 1));
  for (const std::size_t size : {std::size_t{103}, std::size_t{105}}) {
    SCOPED_TRACE(size);
    Bytes resized = sig;
    resized.resize(size);
    kov_test::write_file(dir / "resized.sig", resized);
    for (const fs::path& pub : {pub_a, dir / "short.pub", dir / "missing.pub"})
      EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, dir / "resized.sig", pub),
                       ErrorKind::Corrupt, "corrupt archive: invalid signature size");
  }
  for (const fs::path& pub : {dir / "short.pub", dir / "long.pub"})
    EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, sig_a, pub),
                     ErrorKind::InvalidInput,
                     "invalid input: trusted public key must contain 32 bytes");
  EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, dir / "missing.sig", pub_a),
                   ErrorKind::Io, "I/O error: No such file or directory (os error 2)");
}

TEST_F(Signature, ForeignKeyOrBadMagicIsRefusedBeforeTheArchiveIsRead) {
  Bytes bad_magic = read_file(sig_a);
  bad_magic[7] = '!';
  kov_test::write_file(dir / "magic.sig", bad_magic);
  for (const fs::path& target : {archive, dir / "missing.kov"}) {
    EXPECT_KOV_ERROR(signature::verify_archive_signature(target, sig_a, pub_b), ErrorKind::Corrupt,
                     "corrupt archive: signature does not match trusted public key");
    EXPECT_KOV_ERROR(signature::verify_archive_signature(target, dir / "magic.sig", pub_a),
                     ErrorKind::Corrupt,
                     "corrupt archive: signature does not match trusted public key");
  }
}

TEST_F(Signature, EmbeddedKeyIsOnlyComparedNeverTrusted) {
  Bytes forged = read_file(sig_a);
  const Bytes b = read_file(pub_b);
  std::copy(b.begin(), b.end(), forged.begin() + 8);
  kov_test::write_file(dir / "forged.sig", forged);
  EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, dir / "forged.sig", pub_b),
                   ErrorKind::Corrupt, "corrupt archive: archive signature verification failed");
}

TEST_F(Signature, EveryArchiveByteIsCoveredButNotItsName) {
  const Bytes original = read_file(archive);
  struct Case {
    const char* name;
    Bytes content;
  };
  Bytes changed = original, appended = original, removed = original;
  kov_test::flip_byte(changed, 1, 0x01);
  appended.push_back(0);
  removed.pop_back();
  for (const Case& c :
       {Case{"changed", changed}, Case{"appended", appended}, Case{"removed", removed}}) {
    SCOPED_TRACE(c.name);
    kov_test::write_file(archive, c.content);
    EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, sig_a, pub_a), ErrorKind::Corrupt,
                     "corrupt archive: archive signature verification failed");
  }
  kov_test::write_file(archive, original);
  fs::rename(archive, dir / "renamed");
  EXPECT_TRUE(signature::verify_archive_signature(dir / "renamed", sig_a, pub_a));
}

// Keys that are no curve point are refused as input before the archive is
// read; keys that decode but are small-order or non-canonical fail as a
// signature, after hashing.
TEST_F(Signature, TrustedKeyMustDecodeAsACurvePoint) {
  const Bytes signature_bytes = read_file(sig_a);
  struct Case {
    const char* name;
    std::string key;
    bool decodes;
  };
  const std::string zeros(60, '0');
  const Case cases[] = {
      {"y = 2, no point", "02" + zeros + "00", false},
      {"y = 7, no point", "07" + zeros + "00", false},
      {"y = p + 2 reduces to 2", "ef" + std::string(60, 'f') + "7f", false},
      {"identity", "01" + zeros + "00", true},
      {"identity with the sign bit", "01" + zeros + "80", true},
      {"y = p + 1, non-canonical identity", "ee" + std::string(60, 'f') + "7f", true},
      {"y = 0, order 4", "00" + zeros + "00", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes key = from_hex(c.key);
    ASSERT_EQ(key.size(), 32u);
    Bytes sig = signature_bytes;
    std::copy(key.begin(), key.end(), sig.begin() + 8);
    kov_test::write_file(dir / "k.sig", sig);
    kov_test::write_file(dir / "k.pub", key);
    if (c.decodes) {
      EXPECT_KOV_ERROR(signature::verify_archive_signature(archive, dir / "k.sig", dir / "k.pub"),
                       ErrorKind::Corrupt,
                       "corrupt archive: archive signature verification failed");
      EXPECT_KOV_ERROR(
          signature::verify_archive_signature(dir / "missing", dir / "k.sig", dir / "k.pub"),
          ErrorKind::Io, "I/O error: No such file or directory (os error 2)");
    } else {
      for (const fs::path& target : {archive, dir / "missing"})
        EXPECT_KOV_ERROR(signature::verify_archive_signature(target, dir / "k.sig", dir / "k.pub"),
                         ErrorKind::InvalidInput, "invalid input: invalid Ed25519 public key");
    }
  }
}

}  // namespace
