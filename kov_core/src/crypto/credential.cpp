#include <utility>

#include "kov_core/crypto.hpp"

namespace kov_core::crypto {

namespace {
constexpr std::size_t MIN_PASSWORD_SIZE = 10;
}  // namespace

Result<EncryptionCredential> EncryptionCredential::password(util::SecretBytes bytes) {
  // Any byte values are accepted: a password file need not hold text.
  if (bytes.size() < MIN_PASSWORD_SIZE)
    return std::unexpected(Error::invalid_input("password must contain at least 10 bytes"));
  return EncryptionCredential(EncryptionMode::Password, std::move(bytes));
}

Result<EncryptionCredential> EncryptionCredential::key_file_secret(util::SecretBytes secret) {
  if (secret.size() != KEY_SIZE)
    return std::unexpected(Error::invalid_input("KOV key file secret must contain 32 bytes"));
  return EncryptionCredential(EncryptionMode::KeyFile, std::move(secret));
}

}  // namespace kov_core::crypto
