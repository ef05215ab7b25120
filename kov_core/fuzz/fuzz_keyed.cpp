// Encrypted archives opened and tested with a fixed key file. The input holds
// the index in clear, so that mutations reach index decoding and the decode
// chain; the harness seals it (0.5.0) or tags it (0.4.0) with the key, as the
// writer would, and frames the file:
//   byte 0       bit 0: sealed envelope, else index tag; bit 1: keep the archive ID
//   bytes 1..64  the header (its offsets, length and checksum are filled in)
//   u32          length of the entry data, then the entry data
//   the rest     sealed: the envelope's 104-byte prefix and the plain index;
//                tagged: the index.
// Every failure must be one of the archive's own messages.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_archive_file.hpp"
#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/crypto.hpp"
#include "kov_core/secret.hpp"

namespace {

using kov_core::crypto::EncryptionCredential;

constexpr std::uint8_t SEALED = 1;
constexpr std::uint8_t KEEP_ID = 2;
constexpr std::size_t SALT_AT = 44;
constexpr std::size_t NONCE_AT = 60;

const EncryptionCredential& credential() {
  static const EncryptionCredential secret =
      EncryptionCredential::key_file_secret(kov_core::util::SecretBytes(std::vector<std::uint8_t>(32, 0x5A))).value();
  return secret;
}

// The archive key for the settings record at `record`, or none when its salt is not there.
std::optional<kov_core::crypto::ArchiveKey> key_for(std::span<const std::uint8_t> record) {
  if (record.size() < NONCE_AT + 16) return std::nullopt;
  std::array<std::uint8_t, 16> salt{};
  std::copy_n(record.begin() + SALT_AT, 16, salt.begin());
  auto key = kov_core::crypto::derive_key(credential(), kov_core::crypto::EncryptionMode::KeyFile, salt, 0, 0, 0);
  if (!key || !*key) return std::nullopt;
  return std::move(**key);
}

std::array<std::uint8_t, 16> nonce_prefix(std::span<const std::uint8_t> record) {
  std::array<std::uint8_t, 16> prefix{};
  std::copy_n(record.begin() + NONCE_AT, 16, prefix.begin());
  return prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + 64 + 4) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> file(data + 1, data + 65);
  const std::uint32_t data_length = kov_core::format::load_u32(data + 65);
  if (data_length > size - 69) return 0;
  file.insert(file.end(), data + 69, data + 69 + data_length);
  std::vector<std::uint8_t> index(data + 69 + data_length, data + size);
  const bool sealed = (control & SEALED) != 0;
  const std::uint64_t index_offset = 64 + std::uint64_t{data_length};
  kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 48, 8), index_offset);

  if (sealed) {
    if (index.size() < kov_core::crypto::SEAL_PREFIX_SIZE) return 0;
    const std::span<const std::uint8_t> record(index.data() + 8, kov_core::archive::SETTINGS_SIZE);
    auto key = key_for(record);
    if (!key) return 0;
    std::vector<std::uint8_t> plain(index.begin() + kov_core::crypto::SEAL_PREFIX_SIZE, index.end());
    index.resize(kov_core::crypto::SEAL_PREFIX_SIZE);
    kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 56, 8),
                                index.size() + plain.size() + kov_core::crypto::TAG_SIZE);
    kov_fuzz::repair_checksum(file);
    std::array<std::uint8_t, 64> header{};
    std::copy_n(file.begin(), 64, header.begin());
    const auto aad = kov_core::crypto::sealed_metadata_aad(
        header, std::span<const std::uint8_t, kov_core::crypto::SEAL_PREFIX_SIZE>(index.data(), index.size()));
    if (!kov_core::crypto::seal_metadata(*key, nonce_prefix(record), aad, plain)) return 0;
    index.insert(index.end(), plain.begin(), plain.end());
  } else {
    if (index.size() >= kov_core::crypto::INDEX_TAG_FIELD_END) {
      const std::span<const std::uint8_t> record(index.data() + 16, kov_core::archive::SETTINGS_SIZE);
      if (auto key = key_for(record)) {
        auto tag = kov_core::crypto::index_tag_of_stored_index(*key, nonce_prefix(record), index);
        if (tag) std::copy(tag->begin(), tag->end(), index.begin() + kov_core::crypto::INDEX_TAG_FIELD_OFFSET);
      }
    }
    kov_core::format::store_u64(std::span<std::uint8_t, 8>(file.data() + 56, 8), index.size());
  }
  file.insert(file.end(), index.begin(), index.end());
  file.resize(file.size() + kov_core::format::FOOTER_SIZE);
  std::uint8_t what = kov_fuzz::REPAIR_DIGESTS | kov_fuzz::REPAIR_FOOTER_FIELDS;
  // The sealed header is part of what was sealed: it is not touched again.
  if (!sealed) what |= kov_fuzz::REPAIR_CHECKSUM | ((control & KEEP_ID) ? 0 : kov_fuzz::REPAIR_ARCHIVE_ID);
  kov_fuzz::repair(file, what);

  kov_fuzz::MemoryFile memory(file);
  kov_fuzz::open_and_test(memory, credential());
  return 0;
}
