#include <argon2.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kov_core/crypto.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::crypto::ArchiveKey;
using kov_core::crypto::derive_key;
using kov_core::crypto::EncryptionCredential;
using kov_core::crypto::EncryptionMode;
using kov_test::text_bytes;
using Bytes = std::vector<std::uint8_t>;
using Salt = std::array<std::uint8_t, 16>;

kov_core::util::SecretBytes secret_of(const Bytes& bytes) {
  return kov_core::util::SecretBytes(bytes);
}

Bytes counting(std::size_t size, std::uint8_t first) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

Salt salt_from(std::uint8_t first) {
  Salt salt{};
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(first + i);
  return salt;
}

EncryptionCredential password(std::string_view text) {
  auto credential = EncryptionCredential::password(secret_of(text_bytes(text)));
  EXPECT_TRUE(credential.has_value());
  return std::move(credential).value();
}

EncryptionCredential key_secret(const Bytes& secret) {
  auto credential = EncryptionCredential::key_file_secret(secret_of(secret));
  EXPECT_TRUE(credential.has_value());
  return std::move(credential).value();
}

Bytes key_bytes(const ArchiveKey& key) { return Bytes(key.span().begin(), key.span().end()); }

// Derives and expects a key; empty bytes on failure so that comparisons fail loudly.
Bytes derived(const EncryptionCredential& credential, EncryptionMode mode, const Salt& salt,
              std::uint32_t memory, std::uint32_t iterations, std::uint8_t lanes) {
  auto key = derive_key(credential, mode, salt, memory, iterations, lanes);
  if (!key) {
    ADD_FAILURE() << key.error().display();
    return {};
  }
  if (!key->has_value()) {
    ADD_FAILURE() << "no key derived";
    return {};
  }
  return key_bytes(**key);
}

TEST(EncryptionCredential, DefaultIsNone) {
  const EncryptionCredential none;
  EXPECT_EQ(none.mode(), EncryptionMode::None);
  EXPECT_TRUE(none.bytes().empty());
}

TEST(EncryptionCredential, PasswordNeedsTenBytesOfAnyValue) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"nine bytes", text_bytes("123456789"), false},
      {"empty", {}, false},
      {"ten bytes", text_bytes("1234567890"), true},
      {"not UTF-8", {0xFF, 0xFE, 0xC0, 0x80, 0xED, 0xA0, 0x80, 0xF8, 0x88, 0x80}, true},
      {"zero bytes", Bytes(12, 0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto credential = EncryptionCredential::password(secret_of(c.bytes));
    if (!c.accepted) {
      EXPECT_KOV_ERROR(credential, ErrorKind::InvalidInput,
                       "invalid input: password must contain at least 10 bytes");
      continue;
    }
    ASSERT_TRUE(credential.has_value()) << credential.error().display();
    EXPECT_EQ(credential->mode(), EncryptionMode::Password);
    EXPECT_EQ(Bytes(credential->bytes().begin(), credential->bytes().end()), c.bytes);
  }
}

TEST(EncryptionCredential, KeyFileSecretIsExactly32Bytes) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{31}, std::size_t{33}}) {
    SCOPED_TRACE(size);
    EXPECT_KOV_ERROR(EncryptionCredential::key_file_secret(secret_of(counting(size, 1))),
                     ErrorKind::InvalidInput,
                     "invalid input: KOV key file secret must contain 32 bytes");
  }
  const Bytes secret = counting(32, 1);
  auto credential = EncryptionCredential::key_file_secret(secret_of(secret));
  ASSERT_TRUE(credential.has_value());
  EXPECT_EQ(credential->mode(), EncryptionMode::KeyFile);
  EXPECT_EQ(Bytes(credential->bytes().begin(), credential->bytes().end()), secret);
}

TEST(DeriveKey, NoneWithoutCredentialGivesNoKey) {
  const auto key = derive_key(EncryptionCredential(), EncryptionMode::None, salt_from(0), 0, 0, 0);
  ASSERT_TRUE(key.has_value()) << key.error().display();
  EXPECT_FALSE(key->has_value());
}

TEST(DeriveKey, RefusalsComeInOrder) {
  const EncryptionCredential none;
  const EncryptionCredential pass = password("correct horse battery");
  const EncryptionCredential file = key_secret(counting(32, 1));
  struct Case {
    const char* name;
    const EncryptionCredential* credential;
    EncryptionMode mode;
    std::uint32_t memory;
    std::uint32_t iterations;
    std::uint8_t lanes;
    const char* text;
  };
  const Case cases[] = {
      {"password for a plain archive", &pass, EncryptionMode::None, 0, 0, 0,
       "archive is not encrypted"},
      {"key file for a plain archive", &file, EncryptionMode::None, 64, 1, 1,
       "archive is not encrypted"},
      {"password for a key-file archive", &pass, EncryptionMode::KeyFile, 64, 1, 1,
       "this archive requires its KOV key file"},
      {"nothing for a key-file archive", &none, EncryptionMode::KeyFile, 0, 0, 0,
       "this archive requires its KOV key file"},
      {"key file for a password archive", &file, EncryptionMode::Password, 64, 1, 1,
       "this archive requires a password"},
      {"nothing for a password archive", &none, EncryptionMode::Password, 64, 1, 1,
       "this archive requires a password"},
      {"wrong credential before bad parameters", &file, EncryptionMode::Password, 0, 0, 0,
       "this archive requires a password"},
      {"memory below 8 per lane", &pass, EncryptionMode::Password, 15, 1, 2,
       "invalid Argon2 parameters: memory cost is too small"},
      {"memory below 8", &pass, EncryptionMode::Password, 7, 1, 1,
       "invalid Argon2 parameters: memory cost is too small"},
      {"memory before time and lanes", &pass, EncryptionMode::Password, 0, 0, 0,
       "invalid Argon2 parameters: memory cost is too small"},
      {"time before lanes", &pass, EncryptionMode::Password, 16, 0, 0,
       "invalid Argon2 parameters: time cost is too small"},
      {"no lanes", &pass, EncryptionMode::Password, 16, 1, 0,
       "invalid Argon2 parameters: not enough threads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_KOV_ERROR(
        derive_key(*c.credential, c.mode, salt_from(7), c.memory, c.iterations, c.lanes),
        ErrorKind::InvalidInput, std::string("invalid input: ") + c.text);
  }
}

TEST(DeriveKey, SmallestAcceptedArgon2Costs) {
  const EncryptionCredential pass = password("correct horse battery");
  EXPECT_EQ(derived(pass, EncryptionMode::Password, salt_from(7), 16, 1, 2).size(), 32u);
  EXPECT_EQ(derived(pass, EncryptionMode::Password, salt_from(7), 8, 1, 1).size(), 32u);
}

TEST(DeriveKey, KeyFileKeyIsSha256OfDomainSaltAndSecret) {
  const Bytes secret = counting(32, 0x40);
  const Salt salt = salt_from(0xA0);
  const Bytes domain = text_bytes("KOV 0.4 key file");
  Bytes input(65);  // the domain text, a zero byte, the salt, the secret
  std::copy(domain.begin(), domain.end(), input.begin());
  std::copy(salt.begin(), salt.end(), input.begin() + 17);
  std::copy(secret.begin(), secret.end(), input.begin() + 33);
  Bytes expected(crypto_hash_sha256_BYTES);
  crypto_hash_sha256(expected.data(), input.data(), input.size());

  // The Argon2 costs of a key-file archive are 0 and play no part.
  const EncryptionCredential file = key_secret(secret);
  EXPECT_EQ(derived(file, EncryptionMode::KeyFile, salt, 0, 0, 0), expected);
  EXPECT_EQ(derived(file, EncryptionMode::KeyFile, salt, 65536, 3, 4), expected);
}

TEST(DeriveKey, KeyFileKeyDependsOnSaltAndSecret) {
  const EncryptionCredential file = key_secret(counting(32, 0x40));
  const EncryptionCredential other = key_secret(counting(32, 0x41));
  const Bytes key = derived(file, EncryptionMode::KeyFile, salt_from(1), 0, 0, 0);
  EXPECT_EQ(derived(file, EncryptionMode::KeyFile, salt_from(1), 0, 0, 0), key);
  EXPECT_NE(derived(file, EncryptionMode::KeyFile, salt_from(2), 0, 0, 0), key);
  EXPECT_NE(derived(other, EncryptionMode::KeyFile, salt_from(1), 0, 0, 0), key);
}

// libsodium's Argon2id is a separate implementation and always uses one lane.
TEST(DeriveKey, PasswordKeyMatchesLibsodiumArgon2id) {
  ASSERT_GE(sodium_init(), 0);
  const std::string text = "correct horse battery staple";
  const Salt salt = salt_from(0x10);
  Bytes expected(32);
  ASSERT_EQ(crypto_pwhash(expected.data(), expected.size(), text.data(), text.size(), salt.data(),
                          3, std::size_t{16384} * 1024, crypto_pwhash_ALG_ARGON2ID13),
            0);
  EXPECT_EQ(derived(password(text), EncryptionMode::Password, salt, 16384, 3, 1), expected);
}

TEST(DeriveKey, PasswordKeyUsesTheArchiveLanes) {
  const std::string text = "correct horse battery staple";
  const Salt salt = salt_from(0x10);
  const EncryptionCredential pass = password(text);
  Bytes expected(32);
  ASSERT_EQ(argon2id_hash_raw(2, 256, 2, text.data(), text.size(), salt.data(), salt.size(),
                              expected.data(), expected.size()),
            ARGON2_OK);
  const Bytes two_lanes = derived(pass, EncryptionMode::Password, salt, 256, 2, 2);
  EXPECT_EQ(two_lanes, expected);
  EXPECT_NE(derived(pass, EncryptionMode::Password, salt, 256, 2, 1), two_lanes);
  EXPECT_NE(derived(pass, EncryptionMode::Password, salt_from(0x11), 256, 2, 2), two_lanes);
}

}  // namespace
