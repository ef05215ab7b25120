// Opening an archive from the outside in, and the one check of a stored index
// against a key.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/resources.hpp"
#include "util/checked.hpp"
#include "util/guard.hpp"
#include "util/io.hpp"

namespace kov_core::archive {

namespace {

using crypto::ArchiveKey;
using crypto::EncryptionCredential;
using crypto::EncryptionMode;

constexpr std::uint64_t MIN_ARCHIVE_SIZE = format::HEADER_SIZE + format::FOOTER_SIZE;
constexpr std::size_t READ_BUFFER = 8192;
constexpr std::size_t MIN_DECRYPTED_INDEX = INDEX_PREFIX_SIZE + SETTINGS_SIZE;

// The memory key derivation for an existing archive needs first, in MiB.
std::uint64_t authentication_memory(const ArchiveSettings& settings) {
  return settings.kdf_memory_kib / 1024 + 16;
}

Result<std::optional<ArchiveKey>> derive(const EncryptionCredential& credential,
                                         const ArchiveSettings& settings) {
  return crypto::derive_key(credential, settings.encryption, settings.salt, settings.kdf_memory_kib,
                            settings.kdf_iterations, settings.kdf_lanes);
}

bool sealed(const format::Header& header) {
  return header.version() == format::VERSION_0_5_0 && header.flags == format::FLAG_SEALED_METADATA;
}

// Opens the envelope in `envelope` (the stored index of a sealed archive) with
// `key`; on success the decrypted index is left in `plain`.
Result<void> open_envelope(const format::Header& header, std::span<const std::uint8_t> envelope,
                           const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
                           util::SecretBytes& plain, std::size_t& plain_size) {
  const auto associated =
      crypto::sealed_metadata_aad(header.encode(), envelope.first<crypto::SEAL_PREFIX_SIZE>());
  plain.resize(envelope.size() - crypto::SEAL_PREFIX_SIZE);
  std::copy(envelope.begin() + crypto::SEAL_PREFIX_SIZE, envelope.end(), plain.data());
  auto opened =
      crypto::open_metadata(key, nonce_prefix, associated, std::span(plain.data(), plain.size()));
  if (!opened) return std::unexpected(std::move(opened).error());
  plain_size = *opened;
  return {};
}

// An archive file whose framing holds: the header, and the index as stored.
struct Framed {
  util::Fd fd;
  format::Header header;
  std::vector<std::uint8_t> index;
};

// Opens the file and checks its frame from the outside in: the size, the
// header, the index boundaries, then the footer against the index read.
Result<Framed> read_framing(const std::filesystem::path& path, std::uint32_t available) {
  // Non-blocking, so that a named pipe without a writer reaches the size check
  // at once instead of hanging; the flag is cleared before any read.
  const int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (raw < 0) return std::unexpected(Error::os(errno));
  util::Fd fd(raw);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return std::unexpected(Error::os(errno));
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(Error::os(errno));
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  if (file_size < MIN_ARCHIVE_SIZE) return std::unexpected(Error::corrupt("archive is too short"));

  format::BufferedFile file(fd.get(), READ_BUFFER);
  auto decoded_header = format::Header::decode(file);
  if (!decoded_header) return std::unexpected(std::move(decoded_header).error());
  const format::Header& header = *decoded_header;
  if (header.flags > format::FLAG_SEALED_METADATA || header.io_buffer_size == 0)
    return std::unexpected(Error::unsupported("unknown header flags or invalid chunk size"));
  const auto index_end = util::checked_add(header.index_offset, header.index_length);
  if (!index_end || !util::checked_add(*index_end, format::FOOTER_SIZE))
    return std::unexpected(Error::corrupt("offset overflow"));
  if (header.index_length > MAX_INDEX_BYTES || header.index_offset < format::HEADER_SIZE ||
      *index_end + format::FOOTER_SIZE != file_size ||
      header.index_length > index_size_limit(available))
    return std::unexpected(Error::corrupt("invalid index boundaries"));

  KOV_TRY(file.seek(header.index_offset));
  std::vector<std::uint8_t> index(header.index_length);
  if (!file.read_exact(index)) return std::unexpected(Error::corrupt("truncated index"));
  auto footer = format::Footer::decode(file, header, format::digest(index));
  if (!footer) return std::unexpected(std::move(footer).error());
  return Framed{std::move(fd), header, std::move(index)};
}

// Opens a sealed archive's envelope: its bootstrap settings give the key, the
// key opens the index, and the index must repeat those settings. On success
// `index` holds the decrypted index and the key is returned.
Result<ArchiveKey> unseal(const format::Header& header, std::vector<std::uint8_t>& index,
                          const EncryptionCredential& credential, std::uint32_t available) {
  if (index.size() < crypto::SEALED_ENVELOPE_OVERHEAD ||
      !std::equal(crypto::SEAL_MAGIC.begin(), crypto::SEAL_MAGIC.end(), index.begin()))
    return std::unexpected(Error::corrupt("invalid sealed metadata envelope"));
  const std::span<const std::uint8_t> bootstrap_record(index.data() + crypto::SEAL_MAGIC.size(),
                                                       SETTINGS_SIZE);
  if (!std::all_of(bootstrap_record.begin() + 80, bootstrap_record.end(),
                   [](std::uint8_t b) { return b == 0; }))
    return std::unexpected(Error::corrupt("nonzero bootstrap reserved tag"));
  auto bootstrap = decode_settings(bootstrap_record, true);
  if (!bootstrap) return std::unexpected(std::move(bootstrap).error());
  if (bootstrap->encryption == EncryptionMode::None)
    return std::unexpected(Error::corrupt("sealed metadata requires encryption"));
  if (available != 0 && available < authentication_memory(*bootstrap))
    return std::unexpected(Error::invalid_input("insufficient memory for metadata authentication"));
  auto derived = derive(credential, *bootstrap);
  if (!derived) return std::unexpected(std::move(derived).error());
  // derive_key yields a key for every encrypted mode.
  ArchiveKey key(std::move(derived->value()));
  util::SecretBytes plain;
  std::size_t plain_size = 0;
  KOV_TRY(open_envelope(header, index, key, bootstrap->nonce_prefix, plain, plain_size));
  if (plain_size < MIN_DECRYPTED_INDEX ||
      !std::equal(bootstrap_record.begin(), bootstrap_record.end(),
                  plain.data() + INDEX_PREFIX_SIZE))
    return std::unexpected(Error::corrupt("metadata bootstrap mismatch"));
  index.assign(plain.data(), plain.data() + plain_size);
  return key;
}

// The decoded index against the header that frames it: the same profile and
// buffer size, the archive ID of a clear index, sealing exactly when encrypted.
Result<void> cross_check(const format::Header& header, const DecodedIndex& decoded) {
  auto generation = format::format_generation(header.version());
  if (!generation) return std::unexpected(std::move(generation).error());
  if (*generation >= 1 && (header.profile != static_cast<std::uint8_t>(decoded.settings.profile) ||
                           header.io_buffer_size != decoded.settings.io_buffer_size))
    return std::unexpected(Error::corrupt("header and index compression profiles differ"));
  if (!sealed(header) && archive_id(header.created_unix, decoded.entries) != header.id)
    return std::unexpected(Error::corrupt("archive ID does not match the authenticated entry set"));
  if (header.version() == format::VERSION_0_5_0 &&
      (header.flags == format::FLAG_SEALED_METADATA) !=
          (decoded.settings.encryption != EncryptionMode::None))
    return std::unexpected(Error::corrupt("0.5 encryption requires sealed metadata"));
  return {};
}

}  // namespace

std::uint64_t index_size_limit(std::uint32_t available_mib) {
  if (available_mib == 0) return 256ull << 20;
  return std::clamp<std::uint64_t>(std::uint64_t{available_mib} << 18, 16ull << 20,
                                   MAX_INDEX_BYTES);
}

Result<Archive> ArchiveAccess::open(const std::filesystem::path& path,
                                    const EncryptionCredential& credential,
                                    std::uint32_t available) {
  auto framed = read_framing(path, available);
  if (!framed) return std::unexpected(std::move(framed).error());
  util::Fd& fd = framed->fd;
  const format::Header& header = framed->header;
  std::vector<std::uint8_t>& index = framed->index;
  std::optional<ArchiveKey> key;
  if (sealed(header)) {
    auto unsealed = unseal(header, index, credential, available);
    if (!unsealed) return std::unexpected(std::move(unsealed).error());
    key.emplace(std::move(*unsealed));
  }
  auto decoded = decode_index(index, header.index_offset, header.version());
  if (!decoded) return std::unexpected(std::move(decoded).error());
  KOV_TRY(cross_check(header, *decoded));

  index = {};
  Archive archive;
  archive.entries_ = std::move(decoded->entries);
  archive.settings_ = decoded->settings;
  archive.header_ = header;
  archive.file_ = std::move(fd);
  archive.cached_key_ = std::move(key);
  if (!archive.cached_key_ && credential.mode() != EncryptionMode::None) {
    auto authenticated = authenticate(archive, credential, available);
    if (!authenticated) return std::unexpected(std::move(authenticated).error());
    archive.cached_key_ = std::move(*authenticated);
  }
  return archive;
}

Result<std::optional<ArchiveKey>> ArchiveAccess::authenticate(
    const Archive& archive, const EncryptionCredential& credential, std::uint32_t available) {
  const ArchiveSettings& settings = archive.settings_;
  const format::Header& header = archive.header_;
  const std::uint64_t required = authentication_memory(settings);
  if (settings.encryption == EncryptionMode::Password && available != 0 && available < required)
    return std::unexpected(Error::invalid_input("not enough memory for archive authentication: " +
                                                std::to_string(required) + " MiB required"));
  std::optional<ArchiveKey> key;
  if (credential.mode() != EncryptionMode::None || !archive.cached_key_) {
    auto derived = derive(credential, settings);
    if (!derived) return std::unexpected(std::move(derived).error());
    if (!*derived) return std::optional<ArchiveKey>();
    key.emplace(std::move(**derived));
  } else {
    key.emplace();
    std::copy(archive.cached_key_->span().begin(), archive.cached_key_->span().end(), key->data());
  }

  // Always the bytes in the file, never the index decoded in memory.
  std::vector<std::uint8_t> stored(header.index_length);
  KOV_TRY(util::pread_exact(archive.file_.get(), stored, header.index_offset));
  if (sealed(header)) {
    util::SecretBytes plain;
    std::size_t plain_size = 0;
    KOV_TRY(open_envelope(header, stored, *key, settings.nonce_prefix, plain, plain_size));
    return key;
  }
  auto tag = crypto::index_tag_of_stored_index(*key, settings.nonce_prefix, stored);
  if (!tag) return std::unexpected(std::move(tag).error());
  if (!crypto::same_tag(*tag, settings.index_tag))
    return std::unexpected(
        Error::corrupt("password/key file is incorrect or archive index was modified"));
  return key;
}

Result<Archive> open_archive(const std::filesystem::path& path,
                             const EncryptionCredential& credential, std::uint32_t available_mib) {
  return util::guarded([&] { return ArchiveAccess::open(path, credential, available_mib); });
}

Result<std::optional<ArchiveKey>> authenticate_archive(const Archive& archive,
                                                       const EncryptionCredential& credential,
                                                       std::uint32_t available_mib) {
  return util::guarded(
      [&] { return ArchiveAccess::authenticate(archive, credential, available_mib); });
}

Result<Archive> Archive::open_with_credential(const std::filesystem::path& path,
                                              const EncryptionCredential& credential) {
  return open_archive(path, credential, resources::available_memory_mib());
}

Result<Archive> Archive::open(const std::filesystem::path& path) {
  return open_with_credential(path, EncryptionCredential());
}

Result<std::optional<ArchiveKey>> Archive::authenticate_index(
    const EncryptionCredential& credential) const {
  return authenticate_archive(*this, credential, resources::available_memory_mib());
}

std::string Archive::archive_id() const { return hex(header_.id); }

std::string Archive::format_version() const { return header_.version().text(); }

}  // namespace kov_core::archive
