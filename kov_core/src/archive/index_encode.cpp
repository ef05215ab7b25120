#include <algorithm>

#include "kov_core/archive.hpp"
#include "util/sodium.hpp"

namespace kov_core::archive {

std::string_view entry_kind_name(EntryKind kind) noexcept {
  switch (kind) {
    case EntryKind::File:
      return "file";
    case EntryKind::Directory:
      return "directory";
    case EntryKind::ResourceFork:
      return "resourcefork";
    case EntryKind::Symlink:
      break;
  }
  return "symlink";
}

std::string_view profile_name(CompressionProfile profile) noexcept {
  switch (profile) {
    case CompressionProfile::Current:
      return "current";
    case CompressionProfile::Automatic:
      return "automatic";
    case CompressionProfile::Fast:
      return "fast";
    case CompressionProfile::Balanced:
      return "balanced";
    case CompressionProfile::Compact:
      break;
  }
  return "compact";
}

std::string hex(std::span<const std::uint8_t> bytes) { return util::hex(bytes); }

std::string Entry::sha256() const { return hex(sha256_bytes); }

ArchiveSettings generation0_settings() {
  ArchiveSettings settings;
  settings.profile = CompressionProfile::Current;
  settings.compression_level = 3;
  settings.thread_limit = 1;
  settings.store_threshold_permille = 1000;
  settings.io_buffer_size = 1'048'576;
  return settings;
}

std::array<std::uint8_t, SETTINGS_SIZE> encode_settings(const ArchiveSettings& s) {
  format::ByteWriter out;
  out.reserve(SETTINGS_SIZE);
  out.put_bytes(SETTINGS_MAGIC);
  out.put_u8(static_cast<std::uint8_t>(s.profile));
  out.put_u8(static_cast<std::uint8_t>(s.compression_level));
  out.put_u16(static_cast<std::uint16_t>((s.adaptive_selection ? 1 : 0) |
                                         (s.constrained_at_creation ? 2 : 0)));
  out.put_u32(s.memory_limit_mib);
  out.put_u32(s.available_memory_mib);
  out.put_u16(s.thread_limit);
  out.put_u16(s.store_threshold_permille);
  out.put_u32(s.sample_size);
  out.put_u32(s.io_buffer_size);
  // The mode appears twice: as the encryption mode and as the key-derivation kind.
  out.put_u8(static_cast<std::uint8_t>(s.encryption));
  out.put_u8(static_cast<std::uint8_t>(s.encryption));
  out.put_u8(s.kdf_lanes);
  out.put_u8(0);
  out.put_u32(s.kdf_memory_kib);
  out.put_u32(s.kdf_iterations);
  out.put_bytes(s.salt);
  out.put_bytes(s.nonce_prefix);
  out.put_u32(s.encryption_chunk_size);
  out.put_bytes(s.index_tag);
  std::array<std::uint8_t, SETTINGS_SIZE> record{};
  std::copy(out.bytes().begin(), out.bytes().end(), record.begin());
  return record;
}

Result<std::vector<std::uint8_t>> encode_index(std::span<const Entry> entries,
                                               const ArchiveSettings& settings) {
  if (entries.size() > UINT32_MAX) return std::unexpected(Error::invalid_input("too many entries"));
  std::size_t total = INDEX_PREFIX_SIZE + SETTINGS_SIZE;
  for (const Entry& entry : entries) total += ENTRY_FIXED_SIZE + entry.path.size();

  format::ByteWriter out;
  out.reserve(total);
  out.put_bytes(INDEX_MAGIC);
  out.put_u32(static_cast<std::uint32_t>(entries.size()));
  out.put_u32(static_cast<std::uint32_t>(SETTINGS_SIZE));
  out.put_bytes(encode_settings(settings));
  for (const Entry& entry : entries) {
    out.put_u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(entry.kind) + 1));
    out.put_u8(entry.codec_id);
    out.put_u8(static_cast<std::uint8_t>(entry.compression_level));
    out.put_u8(
        static_cast<std::uint8_t>((entry.adaptively_stored ? 1 : 0) | (entry.encrypted ? 2 : 0)));
    if (entry.path.size() > UINT32_MAX)
      return std::unexpected(Error::invalid_input("path too long"));
    out.put_u32(static_cast<std::uint32_t>(entry.path.size()));
    out.put_u32(entry.mode);
    out.put_i64(entry.modified_unix);
    out.put_u64(entry.original_size);
    out.put_u64(entry.data_offset);
    out.put_u64(entry.stored_size);
    out.put_bytes(entry.sha256_bytes);
    out.put_bytes({reinterpret_cast<const std::uint8_t*>(entry.path.data()), entry.path.size()});
  }
  return std::move(out.bytes());
}

}  // namespace kov_core::archive
