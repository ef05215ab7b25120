#pragma once
// The keyed harness's framing, shared with the extraction harness: an
// encrypted archive built around an index given in clear, sealed (0.5.0) or
// tagged (0.4.0) with a fixed key file as the writer would, so that mutations
// of the index get past authentication. The frame after the control byte:
//   bytes 0..63  the header (its offsets, length and checksum are filled in)
//   u32          length of the entry data, then the entry data
//   the rest     sealed: the envelope's 104-byte prefix and the plain index;
//                tagged: the index.
// Control bit 0: sealed envelope, else index tag; bit 1: keep the archive ID.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_archive_file.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/crypto.hpp"
#include "kov_core/secret.hpp"

namespace kov_fuzz {

inline constexpr std::uint8_t KEYED_SEALED = 1;
inline constexpr std::uint8_t KEYED_KEEP_ID = 2;

// The key file's secret every keyed input is made and opened with.
inline const kov_core::crypto::EncryptionCredential& fixed_key() {
  static const kov_core::crypto::EncryptionCredential secret =
      kov_core::crypto::EncryptionCredential::key_file_secret(
          kov_core::util::SecretBytes(std::vector<std::uint8_t>(32, 0x5A)))
          .value();
  return secret;
}

namespace keyed_detail {

inline constexpr std::size_t SALT_AT = 44;
inline constexpr std::size_t NONCE_AT = 60;

// The archive key for the settings record at `record`, or none when its salt is not there.
inline std::optional<kov_core::crypto::ArchiveKey> key_for(std::span<const std::uint8_t> record) {
  if (record.size() < NONCE_AT + 16) return std::nullopt;
  std::array<std::uint8_t, 16> salt{};
  std::copy_n(record.begin() + SALT_AT, 16, salt.begin());
  auto key = kov_core::crypto::derive_key(fixed_key(), kov_core::crypto::EncryptionMode::KeyFile,
                                          salt, 0, 0, 0);
  if (!key || !*key) return std::nullopt;
  return std::move(**key);
}

inline std::array<std::uint8_t, 16> nonce_prefix(std::span<const std::uint8_t> record) {
  std::array<std::uint8_t, 16> prefix{};
  std::copy_n(record.begin() + NONCE_AT, 16, prefix.begin());
  return prefix;
}

}  // namespace keyed_detail

// The archive file of a frame, or none when the frame is too short to hold one.
inline std::optional<std::vector<std::uint8_t>> keyed_archive(std::uint8_t control,
                                                              std::span<const std::uint8_t> frame) {
  using keyed_detail::key_for;
  using keyed_detail::nonce_prefix;
  if (frame.size() < 64 + 4) return std::nullopt;
  std::vector<std::uint8_t> file(frame.begin(), frame.begin() + 64);
  const std::uint32_t data_length = kov_core::format::load_u32(frame.data() + 64);
  if (data_length > frame.size() - 68) return std::nullopt;
  file.insert(file.end(), frame.begin() + 68, frame.begin() + 68 + data_length);
  std::vector<std::uint8_t> index(frame.begin() + 68 + data_length, frame.end());
  const bool sealed = (control & KEYED_SEALED) != 0;
  const std::uint64_t index_offset = 64 + std::uint64_t{data_length};
  kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 48, 8), index_offset);

  if (sealed) {
    if (index.size() < kov_core::crypto::SEAL_PREFIX_SIZE) return std::nullopt;
    const std::span<const std::uint8_t> record(index.data() + 8, kov_core::archive::SETTINGS_SIZE);
    auto key = key_for(record);
    if (!key) return std::nullopt;
    std::vector<std::uint8_t> plain(index.begin() + kov_core::crypto::SEAL_PREFIX_SIZE,
                                    index.end());
    index.resize(kov_core::crypto::SEAL_PREFIX_SIZE);
    kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 56, 8),
                                index.size() + plain.size() + kov_core::crypto::TAG_SIZE);
    repair_checksum(file);
    std::array<std::uint8_t, 64> header{};
    std::copy_n(file.begin(), 64, header.begin());
    const auto aad = kov_core::crypto::sealed_metadata_aad(
        header, std::span<const std::uint8_t, kov_core::crypto::SEAL_PREFIX_SIZE>(index.data(),
                                                                                  index.size()));
    if (!kov_core::crypto::seal_metadata(*key, nonce_prefix(record), aad, plain))
      return std::nullopt;
    index.insert(index.end(), plain.begin(), plain.end());
  } else {
    if (index.size() >= kov_core::crypto::INDEX_TAG_FIELD_END) {
      const std::span<const std::uint8_t> record(index.data() + 16,
                                                 kov_core::archive::SETTINGS_SIZE);
      if (auto key = key_for(record)) {
        auto tag = kov_core::crypto::index_tag_of_stored_index(*key, nonce_prefix(record), index);
        if (tag)
          std::copy(tag->begin(), tag->end(),
                    index.begin() + kov_core::crypto::INDEX_TAG_FIELD_OFFSET);
      }
    }
    kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 56, 8), index.size());
  }
  file.insert(file.end(), index.begin(), index.end());
  file.resize(file.size() + kov_core::format::FOOTER_SIZE);
  std::uint8_t what = REPAIR_DIGESTS | REPAIR_FOOTER_FIELDS;
  // The sealed header is part of what was sealed: it is not touched again.
  if (!sealed) what |= REPAIR_CHECKSUM | ((control & KEYED_KEEP_ID) ? 0 : REPAIR_ARCHIVE_ID);
  repair(file, what);
  return file;
}

}  // namespace kov_fuzz
