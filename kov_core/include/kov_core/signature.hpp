#pragma once
// Detached Ed25519 signatures over whole archive files.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>

#include "kov_core/error.hpp"
#include "kov_core/secret.hpp"

namespace kov_core::signature {

inline constexpr std::size_t MESSAGE_SIZE = 58;
inline constexpr std::size_t SIGNATURE_FILE_SIZE = 104;
inline constexpr std::size_t PUBLIC_KEY_SIZE = 32;
inline constexpr std::array<std::uint8_t, 8> SIGNATURE_MAGIC{'K', 'O', 'V', 'S', 'I', 'G', '1', 0};

// The Ed25519 key whose seed is a key file's secret; the secret half is wiped when released.
struct SigningKey {
  util::SecretArray<64> secret;  // seed followed by the public key, as libsodium keeps it
  std::array<std::uint8_t, PUBLIC_KEY_SIZE> public_key{};
};

// Reads the key file (every error of read_key_file unchanged) and makes its signing key.
Result<SigningKey> signing_key(const std::filesystem::path& key_file);

// "KOV detached signature v1\0" followed by the SHA-256 of the whole archive file,
// read once in 64 KiB blocks.
Result<std::array<std::uint8_t, MESSAGE_SIZE>> message(const std::filesystem::path& archive);

// Creates `path` (never replacing anything), mode 0600, writes `bytes`, and
// flushes the file and its directory entry to disk.
Result<void> write_new(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Writes the 104-byte signature file of `archive` to `output`.
Result<void> sign_archive(const std::filesystem::path& archive,
                          const std::filesystem::path& key_file,
                          const std::filesystem::path& output);

// Writes the 32-byte public key of the key file's signing key to `output`.
Result<void> export_signing_public_key(const std::filesystem::path& key_file,
                                       const std::filesystem::path& output);

// Succeeds when `signature_file` is a valid signature of `archive` by the
// trusted public key in `public_key_file`.
Result<void> verify_archive_signature(const std::filesystem::path& archive,
                                      const std::filesystem::path& signature_file,
                                      const std::filesystem::path& public_key_file);

}  // namespace kov_core::signature
