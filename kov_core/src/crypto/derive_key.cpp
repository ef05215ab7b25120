#include <argon2.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "kov_core/crypto.hpp"
#include "kov_core/format.hpp"
#include "kov_core/secret.hpp"
#include "util/guard.hpp"

namespace kov_core::crypto {

namespace {

constexpr std::string_view KEY_FILE_DOMAIN = "KOV 0.4 key file";
constexpr std::size_t SALT_SIZE = 16;
constexpr std::size_t KEY_FILE_INPUT_SIZE = KEY_FILE_DOMAIN.size() + 1 + SALT_SIZE + KEY_SIZE;

// SHA-256 over the domain text, a zero byte, the salt and the secret.
void derive_from_key_file(std::span<const std::uint8_t> secret,
                          const std::array<std::uint8_t, SALT_SIZE>& salt, ArchiveKey& key) {
  util::SecretArray<KEY_FILE_INPUT_SIZE> input;
  std::uint8_t* at = input.data();
  at = std::copy(KEY_FILE_DOMAIN.begin(), KEY_FILE_DOMAIN.end(), at);
  *at++ = 0;
  at = std::copy(salt.begin(), salt.end(), at);
  std::copy(secret.begin(), secret.end(), at);
  format::Digest digest = format::digest(input.span());
  std::copy(digest.begin(), digest.end(), key.data());
  util::wipe(digest.data(), digest.size());
}

// libargon2 reports lanes = 0 as "Too few lanes" and capitalises its texts, so
// the parameters are checked here first, in a fixed order with fixed texts.
const char* argon2_parameter_problem(std::uint32_t memory_kib, std::uint32_t iterations,
                                     std::uint8_t lanes) {
  if (memory_kib < 8 || memory_kib < 8u * lanes) return "memory cost is too small";
  if (iterations == 0) return "time cost is too small";
  if (lanes == 0) return "not enough threads";
  return nullptr;
}

Result<void> derive_from_password(std::span<const std::uint8_t> password,
                                  const std::array<std::uint8_t, SALT_SIZE>& salt,
                                  std::uint32_t memory_kib, std::uint32_t iterations,
                                  std::uint8_t lanes, ArchiveKey& key) {
  if (password.size() > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(Error::invalid_input(std::string("password derivation failed: ") +
                                                argon2_error_message(ARGON2_PWD_TOO_LONG)));
  std::array<std::uint8_t, SALT_SIZE> salt_copy = salt;
  argon2_context context{};
  context.out = key.data();
  context.outlen = static_cast<std::uint32_t>(key.size());
  // The default flags leave the password buffer untouched, so dropping const is safe.
  context.pwd = const_cast<std::uint8_t*>(password.data());
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt_copy.data();
  context.saltlen = static_cast<std::uint32_t>(salt_copy.size());
  context.t_cost = iterations;
  context.m_cost = memory_kib;
  context.lanes = lanes;
  // The output depends on the lanes only; one thread keeps the work on the caller's thread.
  context.threads = 1;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int rc = argon2_ctx(&context, Argon2_id);
  if (rc != ARGON2_OK)
    return std::unexpected(Error::invalid_input(std::string("password derivation failed: ") +
                                                argon2_error_message(rc)));
  return {};
}

}  // namespace

Result<std::optional<ArchiveKey>> derive_key(const EncryptionCredential& credential,
                                             EncryptionMode mode,
                                             const std::array<std::uint8_t, 16>& salt,
                                             std::uint32_t kdf_memory_kib,
                                             std::uint32_t kdf_iterations, std::uint8_t kdf_lanes) {
  return util::guarded([&]() -> Result<std::optional<ArchiveKey>> {
    if (mode == EncryptionMode::None) {
      // A credential for a plain archive points at a mistake; it is not ignored.
      if (credential.mode() != EncryptionMode::None)
        return std::unexpected(Error::invalid_input("archive is not encrypted"));
      return std::optional<ArchiveKey>();
    }
    if (credential.mode() != mode)
      return std::unexpected(Error::invalid_input(mode == EncryptionMode::KeyFile
                                                      ? "this archive requires its KOV key file"
                                                      : "this archive requires a password"));
    ArchiveKey key;  // wiped on every return that does not hand it over
    if (mode == EncryptionMode::KeyFile) {
      derive_from_key_file(credential.bytes(), salt, key);
    } else {
      if (const char* problem = argon2_parameter_problem(kdf_memory_kib, kdf_iterations, kdf_lanes))
        return std::unexpected(
            Error::invalid_input(std::string("invalid Argon2 parameters: ") + problem));
      KOV_TRY(derive_from_password(credential.bytes(), salt, kdf_memory_kib, kdf_iterations,
                                   kdf_lanes, key));
    }
    return std::optional<ArchiveKey>(std::move(key));
  });
}

}  // namespace kov_core::crypto
