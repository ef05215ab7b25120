// The decode chain of one entry (stored bytes, decryption, decompression, size
// and SHA-256 checks) and the test of a whole archive.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "archive/archive_internal.hpp"
#include "archive/progress.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/resources.hpp"
#include "util/checked.hpp"
#include "util/guard.hpp"
#include "kov_core/utf8.hpp"

namespace kov_core::archive {

namespace {

using crypto::ArchiveKey;

constexpr std::size_t MAX_DECODE_BUFFER = 8u << 20;
// Read-ahead of the stored bytes, so that the small reads of the chunk reader
// do not each become a system call; larger reads bypass it.
constexpr std::size_t READ_AHEAD = 128u << 10;
constexpr std::size_t MAX_LINK_TARGET = 1u << 20;

// Exactly the `length` bytes at `offset` of the archive file, read with
// positioned reads, so the descriptor's own position is never involved.
class RangeSource final : public format::ByteSource {
 public:
  RangeSource(int fd, std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& buffer)
      : fd_(fd), offset_(offset), left_(length), buffer_(buffer) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (out.empty()) return 0;
    if (start_ == end_) {
      if (left_ == 0) return 0;
      if (out.size() >= buffer_.size()) return read_file(out);
      auto n = read_file(buffer_);
      if (!n) return n;
      start_ = 0;
      end_ = *n;
    }
    const std::size_t n = std::min(out.size(), end_ - start_);
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), n, out.begin());
    start_ += n;
    return n;
  }

 private:
  Result<std::size_t> read_file(std::span<std::uint8_t> out) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left_));
    ssize_t n;
    do {
      n = ::pread(fd_, out.data(), want, static_cast<off_t>(offset_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::unexpected(Error::os(errno));
    // The archive file ended inside the entry's region.
    if (n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    offset_ += static_cast<std::uint64_t>(n);
    left_ -= static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
  }

  int fd_;
  std::uint64_t offset_;
  std::uint64_t left_;
  std::vector<std::uint8_t>& buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
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

std::size_t decode_buffer_size(std::uint32_t io_buffer_size, std::uint32_t available_mib) {
  std::uint64_t size = io_buffer_size;
  if (available_mib != 0) size = std::min<std::uint64_t>(size, std::uint64_t{available_mib} << 16);
  return static_cast<std::size_t>(std::min<std::uint64_t>(size, MAX_DECODE_BUFFER));
}

Result<void> Decoder::decode(const Archive& archive, std::size_t index, const Entry& entry, const ArchiveKey* key,
                             format::ByteSink* sink) {
  if (entry.encrypted && key == nullptr)
    return std::unexpected(Error::invalid_input("encrypted archive requires credentials"));
  if (entry.codec_id != CODEC_STORE && entry.codec_id != CODEC_ZSTD)
    return std::unexpected(Error::unsupported("codec " + std::to_string(entry.codec_id)));
  if (read_ahead_.empty()) read_ahead_.resize(READ_AHEAD);

  format::ByteSource* stream;
  std::unique_ptr<crypto::DecryptReader> decrypt;
  auto range = std::make_unique<RangeSource>(ArchiveAccess::file(archive), entry.data_offset, entry.stored_size, read_ahead_);
  if (entry.encrypted) {
    crypto::EntryCipherContext context;
    context.path = entry.path;
    context.nonce_prefix = archive.settings().nonce_prefix;
    context.entry_index = static_cast<std::uint32_t>(index);
    context.chunk_size = archive.settings().encryption_chunk_size;
    context.kind_code = static_cast<std::uint8_t>(static_cast<std::uint8_t>(entry.kind) + 1);
    context.compressed = entry.codec_id;
    decrypt = std::make_unique<crypto::DecryptReader>(std::move(range), *key, std::move(context));
    stream = decrypt.get();
  } else {
    stream = range.get();
  }

  std::optional<ZstdSource> zstd;
  if (entry.codec_id == CODEC_ZSTD) {
    if (!dctx_) {
      dctx_.reset(ZSTD_createDCtx());
      if (!dctx_) return std::unexpected(Error::io("failed to create a zstd decompression context"));
    }
    std::size_t rc = ZSTD_DCtx_reset(dctx_.get(), ZSTD_reset_session_only);
    if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, 23);
    if (ZSTD_isError(rc)) return std::unexpected(Error::io(ZSTD_getErrorName(rc)));
    if (zstd_input_.empty()) zstd_input_.resize(ZSTD_DStreamInSize());
    stream = &zstd.emplace(dctx_.get(), *stream, zstd_input_);
  }

  format::Sha256 sha;
  const std::size_t size = decode_buffer_size(archive.header().io_buffer_size, resources::available_memory_mib());
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
    if (total > entry.original_size) return std::unexpected(Error::corrupt(entry.path + " expands beyond declared size"));
  }
  const format::Digest digest = sha.finish();
  if (total != entry.original_size || digest != entry.sha256_bytes)
    return std::unexpected(Error::corrupt(entry.path + " content hash/size mismatch"));
  return {};
}

Result<std::string> Decoder::link_target(const Archive& archive, std::size_t index, const Entry& entry,
                                         const ArchiveKey* key) {
  struct StringSink final : format::ByteSink {
    std::string text;
    Result<void> write(std::span<const std::uint8_t> bytes) override {
      text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return {};
    }
  } target;
  target.text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(entry.original_size, MAX_LINK_TARGET)));
  KOV_TRY(decode(archive, index, entry, key, &target));
  if (!util::is_valid_utf8(target.text))
    return std::unexpected(Error::corrupt("symbolic link target is not UTF-8: " + entry.path));
  if (const auto reason = validate_symlink_target(entry.path, target.text))
    return std::unexpected(Error::corrupt("unsafe symbolic link " + entry.path + ": " + std::string(*reason)));
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
    if (entries_.empty()) {
      PROGRESS_COMPLETED.store(0, std::memory_order_relaxed);
      PROGRESS_TOTAL.store(0, std::memory_order_relaxed);
      return {};
    }
    std::uint64_t total = 0;
    for (const Entry& entry : entries_) total = util::saturating_add(total, util::saturating_add(entry.original_size, 1));
    PROGRESS_COMPLETED.store(0, std::memory_order_relaxed);
    PROGRESS_TOTAL.store(total, std::memory_order_relaxed);
    Decoder decoder;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& entry = entries_[i];
      switch (entry.kind) {
        case EntryKind::Directory:
          break;
        case EntryKind::Symlink: {
          auto target = decoder.link_target(*this, i, entry, k);
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
