#pragma once
// Archive entries and settings, the index codec and the portable path rules.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kov_core/crypto.hpp"
#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/format.hpp"

namespace kov_core::archive {

enum class EntryKind : std::uint8_t { File = 0, Directory = 1, ResourceFork = 2, Symlink = 3 };
enum class CompressionProfile : std::uint8_t {
  Current = 0,
  Automatic = 1,
  Fast = 2,
  Balanced = 3,
  Compact = 4
};

// "file", "directory", "resourcefork", "symlink".
[[nodiscard]] std::string_view entry_kind_name(EntryKind kind) noexcept;
// "current", "automatic", "fast", "balanced", "compact".
[[nodiscard]] std::string_view profile_name(CompressionProfile profile) noexcept;

inline constexpr std::uint8_t CODEC_STORE = 0;
inline constexpr std::uint8_t CODEC_ZSTD = 1;

// One archived item, fields in serialized order. The digest is held as bytes;
// `sha256()` gives its lowercase hex text. `codec_id` is held but not
// serialized; `codec` names it ("zstd" or "store").
struct Entry {
  std::string path;
  EntryKind kind = EntryKind::File;
  std::string_view codec = "store";
  std::int8_t compression_level = 0;
  bool adaptively_stored = false;
  bool encrypted = false;
  std::uint8_t codec_id = CODEC_STORE;
  std::uint32_t mode = 0;
  std::int64_t modified_unix = 0;
  std::uint64_t original_size = 0;
  std::uint64_t stored_size = 0;
  std::uint64_t data_offset = 0;
  format::Digest sha256_bytes{};

  // The 64 lowercase hexadecimal digits of the digest.
  [[nodiscard]] std::string sha256() const;

  friend bool operator==(const Entry&, const Entry&) = default;
};

// The per-archive settings record.
struct ArchiveSettings {
  CompressionProfile profile = CompressionProfile::Current;
  std::int8_t compression_level = 0;
  bool adaptive_selection = false;
  bool constrained_at_creation = false;
  std::uint32_t memory_limit_mib = 0;
  std::uint32_t available_memory_mib = 0;
  std::uint16_t thread_limit = 0;
  std::uint16_t store_threshold_permille = 0;
  std::uint32_t sample_size = 0;
  std::uint32_t io_buffer_size = 0;
  crypto::EncryptionMode encryption = crypto::EncryptionMode::None;
  std::uint32_t kdf_memory_kib = 0;
  std::uint32_t kdf_iterations = 0;
  std::uint8_t kdf_lanes = 0;
  std::uint32_t encryption_chunk_size = 0;
  std::array<std::uint8_t, 16> salt{};
  std::array<std::uint8_t, 16> nonce_prefix{};
  std::array<std::uint8_t, 16> index_tag{};

  friend bool operator==(const ArchiveSettings&, const ArchiveSettings&) = default;
};

inline constexpr std::size_t SETTINGS_SIZE = 96;
inline constexpr std::size_t INDEX_PREFIX_SIZE = 16;
inline constexpr std::size_t ENTRY_FIXED_SIZE = 76;
inline constexpr std::array<std::uint8_t, 8> INDEX_MAGIC{'K', 'O', 'V', 'I', 'D', 'X', '1', 0};
inline constexpr std::array<std::uint8_t, 8> SETTINGS_MAGIC{'K', 'O', 'V', 'C', 'F', 'G', '1', 0};
// Offset of the index tag inside an index of generation 1 or 2.
inline constexpr std::size_t INDEX_TAG_OFFSET = INDEX_PREFIX_SIZE + 80;
static_assert(INDEX_TAG_OFFSET == crypto::INDEX_TAG_FIELD_OFFSET);

// Reader limits, shared by every reader of an archive.
inline constexpr std::uint32_t MAX_ENTRIES = 10'000'000;
inline constexpr std::size_t MAX_PATH_BYTES = 1'048'576;
inline constexpr std::uint64_t MAX_INDEX_BYTES = 1ull << 30;

// The fixed settings of an archive of format generation 0, which has no record.
[[nodiscard]] ArchiveSettings generation0_settings();

// The settings record of generations 1 and 2: 96 bytes.
[[nodiscard]] std::array<std::uint8_t, SETTINGS_SIZE> encode_settings(
    const ArchiveSettings& settings);

// The index in the layout of generations 1 and 2. InvalidInput "too many
// entries" or "path too long" when a field width is exceeded.
Result<std::vector<std::uint8_t>> encode_index(std::span<const Entry> entries,
                                               const ArchiveSettings& settings);

// Decodes and range-checks a 96-byte settings record.
Result<ArchiveSettings> decode_settings(std::span<const std::uint8_t> record,
                                        bool zero_index_tag_allowed);

struct DecodedIndex {
  ArchiveSettings settings;
  std::vector<Entry> entries;
};

// Decodes a plaintext index and refuses every damaged, inconsistent or unsafe
// one: one forward pass, the entry list reserved only after the capacity check.
// `index_offset` is the end of the data area.
Result<DecodedIndex> decode_index(std::span<const std::uint8_t> index, std::uint64_t index_offset,
                                  format::Version version);

// Lowercase hexadecimal text of bytes.
[[nodiscard]] std::string hex(std::span<const std::uint8_t> bytes);

// ---- Creation ----

// One item of a new archive, in index order.
struct SourceEntry {
  // The path's bytes: a std::filesystem::path keeps each of its components
  // too, which in a deep tree costs memory that grows with the square of the
  // depth.
  std::string source_path;
  std::string archive_path;
  std::optional<std::string> inline_data;  // a symbolic link's target
  std::uint64_t size = 0;                  // for the progress total only
  EntryKind kind = EntryKind::File;
};

// The options of a new archive; creation takes them over and wipes the credential.
struct CreateOptions {
  crypto::EncryptionCredential credential;
};

// Creates an archive of format 0.5.0 (create_archive) or 0.4.0, under a
// temporary name beside `output` that is moved into place when complete.
Result<void> create_archive(const std::filesystem::path& output,
                            std::span<const std::filesystem::path> inputs, CreateOptions options);
Result<void> create_archive_0_4(const std::filesystem::path& output,
                                std::span<const std::filesystem::path> inputs,
                                CreateOptions options);
Result<void> create_archive_version(const std::filesystem::path& output,
                                    std::span<const std::filesystem::path> inputs,
                                    CreateOptions options, format::Version version);

// Writes a complete archive of `sources` (already in index order) to a new
// file at `path`. A failure leaves nothing at `path`.
Result<void> create_into(const std::filesystem::path& path, std::span<const SourceEntry> sources,
                         const crypto::EncryptionCredential& credential, ArchiveSettings& settings,
                         format::Version version);

// The content-derived archive ID: the first 16 bytes of SHA-256 over the
// creation time and each entry's path, digest and original size.
[[nodiscard]] std::array<std::uint8_t, 16> archive_id(std::int64_t created_unix,
                                                      std::span<const Entry> entries);

// ---- Opened archives ----

// An opened archive: its decoded header, settings and entries (in index order;
// an entry's position is its entry index), the open archive file, and the
// archive key when opening derived or verified one. Built only by opening;
// move-only; releasing it closes the file and wipes the key.
class Archive {
 public:
  Archive(Archive&& other) noexcept = default;
  Archive& operator=(Archive&& other) noexcept = default;
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  ~Archive() = default;

  // Checks the file from the outside in (size, header, index bounds, index
  // digest, footer), opens a sealed envelope with the credential, decodes the
  // index, cross-checks header, settings and archive ID, and authenticates the
  // index of an unsealed encrypted archive when a credential is given. The
  // credential is not consumed.
  static Result<Archive> open_with_credential(const std::filesystem::path& path,
                                              const crypto::EncryptionCredential& credential);
  // Opening without a credential.
  static Result<Archive> open(const std::filesystem::path& path);

  // Checks the stored index against the credential's key (or the kept key when
  // the credential is None) and returns that key; no key for an unencrypted
  // archive opened with None. The archive is not changed.
  Result<std::optional<crypto::ArchiveKey>> authenticate_index(
      const crypto::EncryptionCredential& credential) const;

  // The 16 ID bytes as 32 lowercase hexadecimal digits.
  [[nodiscard]] std::string archive_id() const;
  // "{major}.{minor}.{patch}" of the header.
  [[nodiscard]] std::string format_version() const;

  // Decodes entry `index` (its position in entries()) into `sink`, checking
  // size and SHA-256 as it goes. `key` is the key authentication returned, null
  // for an unencrypted archive. Read failures are Corrupt "{path}: decompression
  // failed: {}"; a failed write to the sink is Io. The sink is not flushed.
  Result<void> copy_entry(std::size_t index, const Entry& entry, const crypto::ArchiveKey* key,
                          format::ByteSink& sink) const;
  // Verifies every entry end to end, publishing progress.
  Result<void> test_with_credential(const crypto::EncryptionCredential& credential) const;
  // Testing with the key kept at opening.
  Result<void> test() const;

  // Restores every entry, or those selected by exact stored path (a selected
  // directory brings everything below it), under `destination`, after checking
  // its space and inodes; each file gets its final name only once verified and
  // on disk. Returns the number of files and links created. Uses the key kept
  // at opening.
  Result<std::uint64_t> extract(const std::filesystem::path& destination,
                                std::span<const std::string> selected, bool overwrite) const;
  Result<std::uint64_t> extract_with_credential(
      const std::filesystem::path& destination, std::span<const std::string> selected,
      bool overwrite, const crypto::EncryptionCredential& credential) const;

  [[nodiscard]] const std::vector<Entry>& entries() const noexcept { return entries_; }
  [[nodiscard]] const ArchiveSettings& settings() const noexcept { return settings_; }
  [[nodiscard]] const format::Header& header() const noexcept { return header_; }

 private:
  friend struct ArchiveAccess;
  Archive() = default;

  std::vector<Entry> entries_;
  ArchiveSettings settings_;
  format::Header header_;
  util::Fd file_;
  std::optional<crypto::ArchiveKey> cached_key_;
};

// ---- Portable archive paths and link targets ----

// The archive path of a relative file-system path: components joined by "/".
// InvalidInput "path must be relative: {}", "path is not UTF-8: {}",
// "unsafe path: {}" or "empty archive path".
Result<std::string> portable_path(const std::filesystem::path& path);

// Each component in NFC, then lower-cased character by character without context.
[[nodiscard]] std::string collision_key(std::string_view archive_path);

// Collision key -> first archive path registered under it.
using CollisionRegistry = std::unordered_map<std::string, std::string>;

// InvalidInput "portable path collision: {} and {}" when another path holds the key.
Result<void> register_portable_path(CollisionRegistry& registry, std::string_view archive_path);

// Checks a path read from an index: length, NUL, backslash, absolute, portable
// and canonical; returns it as a relative file-system path or a Corrupt error.
Result<std::filesystem::path> validate_stored_path(std::string_view stored);

// Accepts a link target, or returns the reason it is refused ("empty,
// oversized, or non-portable target", "absolute targets are forbidden",
// "target escapes the archive root").
[[nodiscard]] std::optional<std::string_view> validate_symlink_target(std::string_view link_path,
                                                                      std::string_view target);

// Reads a symbolic link's target and checks it for the archive path it will have.
Result<std::string> read_symlink_target(const std::filesystem::path& source,
                                        std::string_view archive_path);

}  // namespace kov_core::archive
