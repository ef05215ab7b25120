#pragma once
// Credentials, key derivation, key files, the encrypted entry streams, the
// sealed metadata envelope and the index tag.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/format.hpp"
#include "kov_core/secret.hpp"

namespace kov_core::crypto {

enum class EncryptionMode : std::uint8_t { None = 0, Password = 1, KeyFile = 2 };

// "none", "password" or "keyfile".
[[nodiscard]] std::string_view encryption_mode_name(EncryptionMode mode) noexcept;

inline constexpr std::size_t KEY_SIZE = 32;
inline constexpr std::size_t KEY_FILE_SIZE = 72;
inline constexpr std::size_t TAG_SIZE = 16;
inline constexpr std::array<std::uint8_t, 8> KEY_FILE_MAGIC{'K', 'O', 'V', 'K', 'E', 'Y', '1', 0};

// The 32-byte archive key; wiped when released.
using ArchiveKey = util::SecretArray<KEY_SIZE>;

// Nothing, a password (at least 10 bytes) or a key-file secret (exactly 32
// bytes). Moved, never copied; its bytes are wiped when released.
class EncryptionCredential {
 public:
  EncryptionCredential() = default;  // None
  EncryptionCredential(EncryptionCredential&&) noexcept = default;
  EncryptionCredential& operator=(EncryptionCredential&&) noexcept = default;

  // InvalidInput "password must contain at least 10 bytes".
  static Result<EncryptionCredential> password(util::SecretBytes bytes);
  // InvalidInput "KOV key file secret must contain 32 bytes".
  static Result<EncryptionCredential> key_file_secret(util::SecretBytes secret);

  // The mode this credential unlocks: None, Password or KeyFile.
  [[nodiscard]] EncryptionMode mode() const noexcept { return mode_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_.span(); }

 private:
  EncryptionCredential(EncryptionMode mode, util::SecretBytes bytes)
      : mode_(mode), bytes_(std::move(bytes)) {}

  EncryptionMode mode_ = EncryptionMode::None;
  util::SecretBytes bytes_;
};

// No key for an unencrypted archive, else the archive key: SHA-256 for key
// files, Argon2id (version 0x13) for passwords. Checks in this order: mode none
// with a credential, a credential of the wrong kind, the Argon2 parameters.
Result<std::optional<ArchiveKey>> derive_key(const EncryptionCredential& credential,
                                             EncryptionMode mode,
                                             const std::array<std::uint8_t, 16>& salt,
                                             std::uint32_t kdf_memory_kib,
                                             std::uint32_t kdf_iterations, std::uint8_t kdf_lanes);

// Reads a 72-byte key file into a KeyFile credential (no-follow, non-blocking
// open; type and size, permissions, magic and checksum checked in that order).
Result<EncryptionCredential> read_key_file(const std::filesystem::path& path);

// Writes a new key file with a random secret: exclusive create, mode 0600,
// flushed to disk together with its directory entry.
Result<void> generate_key_file(const std::filesystem::path& path);

// ---- Encrypted entry streams ----

// The per-entry parameters of one chunk stream.
struct EntryCipherContext {
  std::string path;
  std::array<std::uint8_t, 16> nonce_prefix{};
  std::uint32_t entry_index = 0;
  std::uint32_t chunk_size = 0;
  std::uint8_t kind_code = 0;   // EntryKind + 1
  std::uint8_t compressed = 0;  // 1 for zstd, 0 for store
};

// Associated data of one chunk: "KOV 0.4 data\0", kind, compressed, entry index, counter, path.
[[nodiscard]] std::vector<std::uint8_t> aad(std::string_view path, std::uint8_t kind_code,
                                            std::uint8_t compressed, std::uint32_t entry_index,
                                            std::uint32_t counter);

// Seals bytes written to it into authenticated chunks on `inner`. Chunk
// boundaries depend only on the total written. Errors are Io with fixed texts
// ("KOV encryption failed", "too many encrypted chunks") or the inner sink's.
class EncryptWriter final : public format::ByteSink {
 public:
  EncryptWriter(format::ByteSink& inner, const ArchiveKey& key, EntryCipherContext context);
  EncryptWriter(const EncryptWriter&) = delete;
  EncryptWriter& operator=(const EncryptWriter&) = delete;
  ~EncryptWriter() override;

  Result<void> write(std::span<const std::uint8_t> bytes) override;
  // Seals what is left (the single empty chunk of an empty stream); the writer
  // is spent afterwards. Does not flush `inner`.
  Result<void> finish();

 private:
  Result<void> seal_chunk();

  format::ByteSink& inner_;
  ArchiveKey key_;
  EntryCipherContext context_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t counter_ = 0;
  bool sealed_any_ = false;
};

// Reads back the plaintext of one chunk stream from `source` (which holds
// exactly the entry's stored bytes). Errors are Io: "invalid encrypted chunk
// length", "encrypted data authentication failed", "too many encrypted chunks",
// or the source's own error.
class DecryptReader final : public format::ByteSource {
 public:
  DecryptReader(std::unique_ptr<format::ByteSource> source, const ArchiveKey& key,
                EntryCipherContext context);
  DecryptReader(const DecryptReader&) = delete;
  DecryptReader& operator=(const DecryptReader&) = delete;
  ~DecryptReader() override;

  // Bytes placed in `out`, never from two chunks at once; 0 at the end.
  Result<std::size_t> read(std::span<std::uint8_t> out) override;
  // Loads the next chunk; false at the end of the stream.
  Result<bool> read_chunk();

 private:
  std::unique_ptr<format::ByteSource> source_;
  ArchiveKey key_;
  EntryCipherContext context_;
  std::vector<std::uint8_t> plaintext_;
  std::size_t position_ = 0;
  std::uint32_t counter_ = 0;
  bool ended_ = false;
};

// ---- Sealed metadata and index tag ----

inline constexpr std::array<std::uint8_t, 8> SEAL_MAGIC{'K', 'O', 'V', 'S', 'E', 'A', 'L', '1'};
// Starts the associated data of the sealing: then the final header and the envelope's first 104
// bytes.
inline constexpr std::array<std::uint8_t, 17> SEALED_METADATA_LABEL{
    'K', 'O', 'V', ' ', '0', '.', '5', ' ', 'm', 'e', 't', 'a', 'd', 'a', 't', 'a', 0};
// Envelope bytes before the encrypted index: the magic and the bootstrap settings.
inline constexpr std::size_t SEAL_PREFIX_SIZE = 104;
// What sealing adds to an index: the prefix before it and the tag after it.
inline constexpr std::size_t SEALED_ENVELOPE_OVERHEAD = SEAL_PREFIX_SIZE + TAG_SIZE;
inline constexpr std::size_t SEALED_METADATA_AAD_SIZE = 185;
// Where a stored index keeps its tag (the settings record's index-tag field),
// and so the shortest index that can carry one.
inline constexpr std::size_t INDEX_TAG_FIELD_OFFSET = 96;
inline constexpr std::size_t INDEX_TAG_FIELD_END = INDEX_TAG_FIELD_OFFSET + TAG_SIZE;

// The associated data of the sealing: the label, the 64 header bytes as they
// stand at offset 0 of the finished file, and the envelope's first 104 bytes.
[[nodiscard]] std::array<std::uint8_t, SEALED_METADATA_AAD_SIZE> sealed_metadata_aad(
    std::span<const std::uint8_t, format::HEADER_SIZE> header,
    std::span<const std::uint8_t, SEAL_PREFIX_SIZE> envelope_prefix);

// Encrypts `buffer` in place and appends the tag. Corrupt "metadata encryption failed".
Result<void> seal_metadata(const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
                           std::span<const std::uint8_t> associated_data,
                           std::vector<std::uint8_t>& buffer);

// Checks the tag at the end of `buffer` and decrypts the rest in place; returns
// the plaintext length (16 bytes less). Corrupt "truncated metadata tag" or
// "incorrect credentials or modified header/metadata".
Result<std::size_t> open_metadata(const ArchiveKey& key,
                                  const std::array<std::uint8_t, 16>& nonce_prefix,
                                  std::span<const std::uint8_t> associated_data,
                                  std::span<std::uint8_t> buffer);

// The tag of an empty plaintext with `index` as associated data. Corrupt
// "index authentication failed".
Result<std::array<std::uint8_t, TAG_SIZE>> index_tag(
    const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
    std::span<const std::uint8_t> index);

// The index tag of a whole stored index: index_tag over a copy of `index` with
// its tag field zeroed, so the result does not depend on the tag it holds. An
// index too short to hold the field is Corrupt "encrypted index settings are
// truncated"; otherwise the errors of index_tag.
Result<std::array<std::uint8_t, TAG_SIZE>> index_tag_of_stored_index(
    const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
    std::span<const std::uint8_t> index);

// Compares two tags in constant time.
[[nodiscard]] bool same_tag(const std::array<std::uint8_t, TAG_SIZE>& a,
                            const std::array<std::uint8_t, TAG_SIZE>& b) noexcept;

}  // namespace kov_core::crypto
