// The chunk stream of an encrypted entry: each piece of at most chunk_size
// plaintext bytes is stored as LE32(p + 16), p ciphertext bytes and a 16-byte
// tag, with the entry index and chunk counter in both nonce and associated data.

#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "kov_core/crypto.hpp"
#include "util/sodium.hpp"

namespace kov_core::crypto {

namespace {

constexpr std::size_t LENGTH_SIZE = 4;
constexpr std::array<std::uint8_t, 13> DATA_AAD_MAGIC{'K', 'O', 'V', ' ', '0', '.', '4',
                                                      ' ', 'd', 'a', 't', 'a', 0};
constexpr std::uint32_t LAST_COUNTER = std::numeric_limits<std::uint32_t>::max();

using Nonce = std::array<std::uint8_t, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES>;
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == TAG_SIZE);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == KEY_SIZE);

Nonce chunk_nonce(const std::array<std::uint8_t, 16>& prefix, std::uint32_t entry_index,
                  std::uint32_t counter) {
  Nonce nonce{};
  std::ranges::copy(prefix, nonce.begin());
  format::store_u32(std::span(nonce).subspan<16, 4>(), entry_index);
  format::store_u32(std::span(nonce).subspan<20, 4>(), counter);
  return nonce;
}

std::vector<std::uint8_t> chunk_aad(const EntryCipherContext& context, std::uint32_t counter) {
  return aad(context.path, context.kind_code, context.compressed, context.entry_index, counter);
}

void copy_key(const ArchiveKey& from, ArchiveKey& to) noexcept {
  std::memcpy(to.data(), from.data(), KEY_SIZE);
}

}  // namespace

std::vector<std::uint8_t> aad(std::string_view path, std::uint8_t kind_code,
                              std::uint8_t compressed, std::uint32_t entry_index,
                              std::uint32_t counter) {
  std::vector<std::uint8_t> out(DATA_AAD_MAGIC.size() + 10 + path.size());
  std::ranges::copy(DATA_AAD_MAGIC, out.begin());
  out[13] = kind_code;
  out[14] = compressed;
  format::store_u32(std::span(out).subspan(15).first<4>(), entry_index);
  format::store_u32(std::span(out).subspan(19).first<4>(), counter);
  std::ranges::copy(path, out.begin() + 23);
  return out;
}

// ---- Writing side ----

// buffer_ holds the whole frame of the chunk being filled: four bytes for the
// length field, then the plaintext; the tag is appended when sealing, so a
// chunk reaches the inner sink in one write and is never copied here.
EncryptWriter::EncryptWriter(format::ByteSink& inner, const ArchiveKey& key,
                             EntryCipherContext context)
    : inner_(inner), context_(std::move(context)) {
  if (context_.chunk_size == 0) std::abort();  // a caller bug: it would never make progress
  util::ensure_sodium();
  copy_key(key, key_);
  buffer_.reserve(LENGTH_SIZE + std::size_t{context_.chunk_size} + TAG_SIZE);
  buffer_.resize(LENGTH_SIZE);
}

EncryptWriter::~EncryptWriter() = default;

Result<void> EncryptWriter::write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t room = context_.chunk_size - (buffer_.size() - LENGTH_SIZE);
    const std::size_t n = std::min(room, bytes.size());
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
    if (n == room) KOV_TRY(seal_chunk());
  }
  return {};
}

Result<void> EncryptWriter::seal_chunk() {
  const std::size_t p = buffer_.size() - LENGTH_SIZE;
  const Nonce nonce = chunk_nonce(context_.nonce_prefix, context_.entry_index, counter_);
  const std::vector<std::uint8_t> associated = chunk_aad(context_, counter_);
  buffer_.resize(LENGTH_SIZE + p + TAG_SIZE);  // within the reserved capacity
  std::uint8_t* plaintext = buffer_.data() + LENGTH_SIZE;
  const int rc = crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
      plaintext, plaintext + p, nullptr, plaintext, p, associated.data(), associated.size(),
      nullptr, nonce.data(), key_.data());
  // Whatever happens next, the taken bytes are gone and the next chunk starts empty.
  if (rc != 0) {
    buffer_.resize(LENGTH_SIZE);
    return std::unexpected(Error::io("KOV encryption failed"));
  }
  format::store_u32(std::span(buffer_).first<LENGTH_SIZE>(),
                    static_cast<std::uint32_t>(p + TAG_SIZE));
  auto written = inner_.write(buffer_);
  buffer_.resize(LENGTH_SIZE);
  if (!written) return written;
  if (counter_ == LAST_COUNTER) return std::unexpected(Error::io("too many encrypted chunks"));
  ++counter_;
  sealed_any_ = true;
  return {};
}

Result<void> EncryptWriter::finish() {
  auto sealed = buffer_.size() > LENGTH_SIZE || !sealed_any_ ? seal_chunk() : Result<void>{};
  key_.clear();
  return sealed;
}

// ---- Reading side ----

DecryptReader::DecryptReader(std::unique_ptr<format::ByteSource> source, const ArchiveKey& key,
                             EntryCipherContext context)
    : source_(std::move(source)), context_(std::move(context)) {
  util::ensure_sodium();
  copy_key(key, key_);
}

DecryptReader::~DecryptReader() = default;

Result<std::size_t> DecryptReader::read(std::span<std::uint8_t> out) {
  if (out.empty()) return 0;
  for (;;) {
    if (position_ < plaintext_.size()) {
      const std::size_t n = std::min(out.size(), plaintext_.size() - position_);
      std::memcpy(out.data(), plaintext_.data() + position_, n);
      position_ += n;
      return n;
    }
    if (ended_) return 0;
    auto loaded = read_chunk();
    if (!loaded) return std::unexpected(std::move(loaded).error());
    if (!*loaded) return 0;
  }
}

Result<bool> DecryptReader::read_chunk() {
  // The first byte alone tells a clean end between chunks from a cut chunk.
  std::array<std::uint8_t, LENGTH_SIZE> length_field{};
  auto first = source_->read(std::span(length_field).first<1>());
  if (!first) return std::unexpected(std::move(first).error());
  if (*first == 0) {
    ended_ = true;
    return false;
  }
  KOV_TRY(format::read_exact(*source_, std::span(length_field).subspan<1>()));
  const std::uint32_t length = format::load_u32(length_field.data());
  if (length < TAG_SIZE || std::uint64_t{length} > std::uint64_t{context_.chunk_size} + TAG_SIZE)
    return std::unexpected(Error::io("invalid encrypted chunk length"));

  std::vector<std::uint8_t> chunk(length);
  KOV_TRY(format::read_exact(*source_, chunk));
  const std::size_t p = length - TAG_SIZE;
  const Nonce nonce = chunk_nonce(context_.nonce_prefix, context_.entry_index, counter_);
  const std::vector<std::uint8_t> associated = chunk_aad(context_, counter_);
  if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
          chunk.data(), nullptr, chunk.data(), p, chunk.data() + p, associated.data(),
          associated.size(), nonce.data(), key_.data()) != 0)
    return std::unexpected(Error::io("encrypted data authentication failed"));
  if (counter_ == LAST_COUNTER) return std::unexpected(Error::io("too many encrypted chunks"));
  ++counter_;
  chunk.resize(p);
  plaintext_ = std::move(chunk);
  position_ = 0;
  return true;
}

}  // namespace kov_core::crypto
