// The decode chain of one entry (stored bytes, decryption, decompression, size
// and SHA-256 checks) and the test of a whole archive.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "archive/archive_internal.hpp"
#include "archive/link_resolution.hpp"
#include "archive/progress.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/resources.hpp"
#include "kov_core/utf8.hpp"
#include "util/checked.hpp"
#include "util/guard.hpp"
#include "util/io.hpp"

namespace kov_core::archive {

namespace {

using crypto::ArchiveKey;

constexpr std::size_t MAX_DECODE_BUFFER = 8u << 20;
// A legacy header may give any buffer size but 0; smaller pieces would each
// cost a read, a hash update and, when extracting, a write.
constexpr std::size_t MIN_DECODE_BUFFER = 64u << 10;
// Read-ahead of the archive's data area, shared by consecutive entries: many
// small entries then cost one system call together, not one each. Larger
// reads bypass it.
constexpr std::size_t READ_AHEAD = 1u << 20;
constexpr std::size_t MAX_LINK_TARGET = 1u << 20;

// Exactly the `length` bytes at `offset` of the archive file, read with
// positioned reads (the descriptor's own position is never involved) through
// the decoder's read-ahead window.
class RangeSource final : public format::ByteSource {
 public:
  RangeSource(ReadAhead& window, std::uint64_t offset, std::uint64_t length)
      : window_(window), offset_(offset), left_(length) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (out.empty() || left_ == 0) return 0;
    if (out.size() > left_) out = out.first(static_cast<std::size_t>(left_));
    auto n = window_.read(offset_, out);
    if (!n) return n;
    offset_ += *n;
    left_ -= *n;
    return n;
  }

 private:
  ReadAhead& window_;
  std::uint64_t offset_;
  std::uint64_t left_;
};

// zstd streaming decompression of `source`, several frames in a row accepted.
// A failure while bytes were already produced is held back until they have
// been returned, so that they are counted and checked first.
class ZstdSource final : public format::ByteSource {
 public:
  ZstdSource(ZSTD_DCtx* ctx, format::ByteSource& source, std::vector<std::uint8_t>& input)
      : ctx_(ctx), source_(source), input_(input) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (held_) return std::unexpected(std::move(*held_));
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    while (o.pos < o.size) {
      if (in_.pos == in_.size && !input_ended_) {
        auto n = source_.read(input_);
        if (!n) return fail(std::move(n).error(), o.pos);
        in_ = {input_.data(), *n, 0};
        input_ended_ = *n == 0;
      }
      const std::size_t before = o.pos;
      if (input_ended_ && in_.pos == in_.size) {
        if (hint_ == 0) break;  // the last frame is complete
        // Decoded bytes may still be held from an earlier, full output buffer.
        const std::size_t hint = ZSTD_decompressStream(ctx_, &o, &in_);
        if (ZSTD_isError(hint)) return fail(Error::io(ZSTD_getErrorName(hint)), before);
        hint_ = hint;
        if (o.pos == before) {
          if (hint_ != 0) return fail(Error::io("incomplete frame"), before);
          break;
        }
        continue;
      }
      const std::size_t hint = ZSTD_decompressStream(ctx_, &o, &in_);
      if (ZSTD_isError(hint)) return fail(Error::io(ZSTD_getErrorName(hint)), before);
      hint_ = hint;
    }
    return o.pos;
  }

 private:
  Result<std::size_t> fail(Error error, std::size_t produced) {
    if (produced == 0) return std::unexpected(std::move(error));
    held_.emplace(std::move(error));
    return produced;
  }

  ZSTD_DCtx* ctx_;
  format::ByteSource& source_;
  std::vector<std::uint8_t>& input_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  std::size_t hint_ = 1;  // no frame has been completed yet
  bool input_ended_ = false;
  std::optional<Error> held_;
};

Error decompression_failed(const Entry& entry, const Error& cause) {
  return Error::corrupt(entry.path + ": decompression failed: " + cause.message());
}

}  // namespace

Result<std::size_t> ReadAhead::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset < start_ || offset >= start_ + filled_) {
    if (out.size() >= READ_AHEAD) return read_file(offset, out);
    if (buffer_.empty()) buffer_.resize(READ_AHEAD);
    // Never past the end of the data area: the index after it is not entry data.
    const std::uint64_t room = end_ > offset ? end_ - offset : out.size();
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer_.size(), std::max<std::uint64_t>(room, out.size())));
    start_ = offset;
    filled_ = 0;
    auto n = read_file(offset, std::span(buffer_).first(want));
    if (!n) return n;
    filled_ = *n;
  }
  const std::size_t at = static_cast<std::size_t>(offset - start_);
  const std::size_t n = std::min(out.size(), filled_ - at);
  std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
  return n;
}

Result<std::size_t> ReadAhead::read_file(std::uint64_t offset, std::span<std::uint8_t> out) {
  auto n = util::pread_some(fd_, out, offset);
  // The archive file ended inside the entry's region.
  if (n && *n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
  return n;
}

std::size_t decode_buffer_size(std::uint32_t io_buffer_size, std::uint32_t available_mib) {
  std::uint64_t size = std::max<std::uint64_t>(io_buffer_size, MIN_DECODE_BUFFER);
  if (available_mib != 0) size = std::min<std::uint64_t>(size, std::uint64_t{available_mib} << 16);
  return static_cast<std::size_t>(std::min<std::uint64_t>(size, MAX_DECODE_BUFFER));
}

Decoder::Decoder() noexcept : available_mib_(resources::available_memory_mib()) {}

Result<void> Decoder::decode(const Archive& archive, std::size_t index, const Entry& entry,
                             const ArchiveKey* key, format::ByteSink* sink) {
  if (entry.encrypted && key == nullptr)
    return std::unexpected(Error::invalid_input("encrypted archive requires credentials"));
  if (entry.codec_id != CODEC_STORE && entry.codec_id != CODEC_ZSTD)
    return std::unexpected(Error::unsupported("codec " + std::to_string(entry.codec_id)));
  if (!window_ || window_->fd() != ArchiveAccess::file(archive))
    window_.emplace(ArchiveAccess::file(archive), archive.header().index_offset);

  format::ByteSource* stream;
  std::unique_ptr<crypto::DecryptReader> decrypt;
  auto range = std::make_unique<RangeSource>(*window_, entry.data_offset, entry.stored_size);
  if (entry.encrypted) {
    decrypt = std::make_unique<crypto::DecryptReader>(
        std::move(range), *key,
        entry_cipher_context(archive.settings(), entry, static_cast<std::uint32_t>(index)));
    stream = decrypt.get();
  } else {
    stream = range.get();
  }

  std::optional<ZstdSource> zstd;
  if (entry.codec_id == CODEC_ZSTD) {
    if (!dctx_) {
      dctx_.reset(ZSTD_createDCtx());
      if (!dctx_)
        return std::unexpected(Error::io("failed to create a zstd decompression context"));
    }
    std::size_t rc = ZSTD_DCtx_reset(dctx_.get(), ZSTD_reset_session_only);
    if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, 23);
    if (ZSTD_isError(rc)) return std::unexpected(Error::io(ZSTD_getErrorName(rc)));
    if (zstd_input_.empty()) zstd_input_.resize(ZSTD_DStreamInSize());
    stream = &zstd.emplace(dctx_.get(), *stream, zstd_input_);
  }

  format::Sha256 sha;
  const std::size_t size = decode_buffer_size(archive.header().io_buffer_size, available_mib_);
  if (buffer_.size() != size) buffer_ = std::vector<std::uint8_t>(size);
  std::uint64_t total = 0;
  for (;;) {
    KOV_TRY(check_cancelled());
    auto n = stream->read(buffer_);
    if (!n) return std::unexpected(decompression_failed(entry, n.error()));
    if (*n == 0) break;
    const std::span<const std::uint8_t> bytes(buffer_.data(), *n);
    sha.update(bytes);
    if (sink != nullptr) KOV_TRY(sink->write(bytes));
    const auto sum = util::checked_add(total, *n);
    if (!sum) return std::unexpected(Error::corrupt("decoded size overflow"));
    total = *sum;
    progress_add(*n);
    if (total > entry.original_size)
      return std::unexpected(Error::corrupt(entry.path + " expands beyond declared size"));
  }
  const format::Digest digest = sha.finish();
  if (total != entry.original_size || digest != entry.sha256_bytes)
    return std::unexpected(Error::corrupt(entry.path + " content hash/size mismatch"));
  return {};
}

Result<std::string> Decoder::link_target(const Archive& archive, std::size_t index,
                                         const Entry& entry, const ArchiveKey* key) {
  struct StringSink final : format::ByteSink {
    std::string text;
    Result<void> write(std::span<const std::uint8_t> bytes) override {
      text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return {};
    }
  } target;
  target.text.reserve(
      static_cast<std::size_t>(std::min<std::uint64_t>(entry.original_size, MAX_LINK_TARGET)));
  KOV_TRY(decode(archive, index, entry, key, &target));
  if (!util::is_valid_utf8(target.text))
    return std::unexpected(Error::corrupt("symbolic link target is not UTF-8: " + entry.path));
  if (const auto reason = validate_symlink_target(entry.path, target.text))
    return std::unexpected(Error::corrupt(unsafe_link_text(entry.path, *reason)));
  return std::move(target.text);
}

Result<void> Archive::copy_entry(std::size_t index, const Entry& entry, const ArchiveKey* key,
                                 format::ByteSink& sink) const {
  return util::guarded([&] {
    Decoder decoder;
    return decoder.decode(*this, index, entry, key, &sink);
  });
}

Result<void> Archive::test_with_credential(const crypto::EncryptionCredential& credential) const {
  return util::guarded([&]() -> Result<void> {
    auto key = authenticate_index(credential);
    if (!key) return std::unexpected(std::move(key).error());
    const ArchiveKey* k = *key ? &**key : nullptr;
    begin_progress(
        progress_units(entries_, [](const Entry& entry) { return entry.original_size; }));
    if (entries_.empty()) return {};
    Decoder decoder;
    // Every link is checked against the others, later ones included.
    LinkResolution links(*this);
    links.decode(decoder, k);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& entry = entries_[i];
      switch (entry.kind) {
        case EntryKind::Directory:
          break;
        case EntryKind::Symlink: {
          auto target = links.take(i);
          if (!target) return std::unexpected(std::move(target).error());
          break;
        }
        case EntryKind::File:
        case EntryKind::ResourceFork:
          KOV_TRY(decoder.decode(*this, i, entry, k, nullptr));
          break;
      }
      progress_add(1);
    }
    return {};
  });
}

Result<void> Archive::test() const { return test_with_credential(crypto::EncryptionCredential()); }

}  // namespace kov_core::archive
