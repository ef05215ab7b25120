// The sealed metadata envelope of 0.5.0 and the index tag of 0.4.0. Their
// nonces end in FF FF FF FF where a chunk nonce has its entry index, so they
// stay apart from the chunk nonces of any real entry.

#include <sodium.h>

#include <algorithm>
#include <vector>

#include "kov_core/crypto.hpp"
#include "util/sodium.hpp"

namespace kov_core::crypto {

namespace {

using Nonce = std::array<std::uint8_t, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES>;

Nonce whole_index_nonce(const std::array<std::uint8_t, 16>& prefix, std::uint8_t last_byte) {
  Nonce nonce{};
  std::ranges::copy(prefix, nonce.begin());
  std::fill(nonce.begin() + 16, nonce.end(), std::uint8_t{0xFF});
  nonce[20] = last_byte;
  return nonce;
}

}  // namespace

std::array<std::uint8_t, SEALED_METADATA_AAD_SIZE> sealed_metadata_aad(
    std::span<const std::uint8_t, format::HEADER_SIZE> header,
    std::span<const std::uint8_t, SEAL_PREFIX_SIZE> envelope_prefix) {
  static_assert(SEALED_METADATA_AAD_SIZE ==
                SEALED_METADATA_LABEL.size() + format::HEADER_SIZE + SEAL_PREFIX_SIZE);
  std::array<std::uint8_t, SEALED_METADATA_AAD_SIZE> out{};
  auto next = std::ranges::copy(SEALED_METADATA_LABEL, out.begin()).out;
  next = std::ranges::copy(header, next).out;
  std::ranges::copy(envelope_prefix, next);
  return out;
}

Result<void> seal_metadata(const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
                           std::span<const std::uint8_t> associated_data,
                           std::vector<std::uint8_t>& buffer) {
  util::ensure_sodium();
  const Nonce nonce = whole_index_nonce(nonce_prefix, 0xFE);
  std::array<std::uint8_t, TAG_SIZE> tag{};
  // libsodium's message pointers must not be null, even for an empty message.
  std::uint8_t empty = 0;
  std::uint8_t* message = buffer.empty() ? &empty : buffer.data();
  if (crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
          message, tag.data(), nullptr, message, buffer.size(), associated_data.data(),
          associated_data.size(), nullptr, nonce.data(), key.data()) != 0)
    return std::unexpected(Error::corrupt("metadata encryption failed"));
  buffer.insert(buffer.end(), tag.begin(), tag.end());
  return {};
}

Result<std::size_t> open_metadata(const ArchiveKey& key,
                                  const std::array<std::uint8_t, 16>& nonce_prefix,
                                  std::span<const std::uint8_t> associated_data,
                                  std::span<std::uint8_t> buffer) {
  if (buffer.size() < TAG_SIZE) return std::unexpected(Error::corrupt("truncated metadata tag"));
  util::ensure_sodium();
  const Nonce nonce = whole_index_nonce(nonce_prefix, 0xFE);
  const std::size_t n = buffer.size() - TAG_SIZE;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
          buffer.data(), nullptr, buffer.data(), n, buffer.data() + n, associated_data.data(),
          associated_data.size(), nonce.data(), key.data()) != 0)
    return std::unexpected(Error::corrupt("incorrect credentials or modified header/metadata"));
  return n;
}

Result<std::array<std::uint8_t, TAG_SIZE>> index_tag(
    const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
    std::span<const std::uint8_t> index) {
  util::ensure_sodium();
  const Nonce nonce = whole_index_nonce(nonce_prefix, 0xFF);
  std::array<std::uint8_t, TAG_SIZE> tag{};
  std::uint8_t empty = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt_detached(&empty, tag.data(), nullptr, &empty, 0,
                                                          index.data(), index.size(), nullptr,
                                                          nonce.data(), key.data()) != 0)
    return std::unexpected(Error::corrupt("index authentication failed"));
  return tag;
}

Result<std::array<std::uint8_t, TAG_SIZE>> index_tag_of_stored_index(
    const ArchiveKey& key, const std::array<std::uint8_t, 16>& nonce_prefix,
    std::span<const std::uint8_t> index) {
  if (index.size() < INDEX_TAG_FIELD_END)
    return std::unexpected(Error::corrupt("encrypted index settings are truncated"));
  std::vector<std::uint8_t> zeroed(index.begin(), index.end());
  std::fill(zeroed.begin() + INDEX_TAG_FIELD_OFFSET, zeroed.begin() + INDEX_TAG_FIELD_END,
            std::uint8_t{0});
  return index_tag(key, nonce_prefix, zeroed);
}

bool same_tag(const std::array<std::uint8_t, TAG_SIZE>& a,
              const std::array<std::uint8_t, TAG_SIZE>& b) noexcept {
  return crypto_verify_16(a.data(), b.data()) == 0;
}

}  // namespace kov_core::crypto
