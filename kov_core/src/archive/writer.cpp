// The archive writer: one forward pass writing a placeholder header, every
// entry's data, the index (clear, tagged or sealed) and the footer, then the
// real header at offset 0 and a flush to disk.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <optional>

#include "archive/archive_internal.hpp"
#include "archive/progress.hpp"
#include "archive/source_tree.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/utf8.hpp"
#include "util/files.hpp"
#include "util/io.hpp"
#include "util/random.hpp"
#include "util/zstd_handles.hpp"

namespace kov_core::archive {

namespace {

using format::ByteSink;

// The writer's own buffer size is not visible in the file; a large one keeps
// the write calls few.
constexpr std::size_t WRITE_BUFFER = 1 << 20;

Error zstd_error(std::size_t code) { return Error::io(ZSTD_getErrorName(code)); }

// Compresses everything written to it into one zstd frame on `inner`. Without
// encryption the frame is compressed straight into the archive's buffer.
class ZstdSink final : public ByteSink {
 public:
  ZstdSink(ZSTD_CCtx* ctx, ByteSink& inner, format::BufferedWriter* direct,
           std::vector<std::uint8_t>& out)
      : ctx_(ctx), inner_(inner), direct_(direct), out_(out) {}

  Result<void> write(std::span<const std::uint8_t> bytes) override {
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    while (in.pos < in.size) KOV_TRY(step(in, ZSTD_e_continue));
    return {};
  }

  // Ends the frame. Data is always fed with ZSTD_e_continue first, so the
  // frame never records a content size.
  Result<void> finish() {
    ZSTD_inBuffer in{nullptr, 0, 0};
    for (;;) {
      auto remaining = step(in, ZSTD_e_end);
      if (!remaining) return std::unexpected(std::move(remaining).error());
      if (*remaining == 0) return {};
    }
  }

 private:
  Result<std::size_t> step(ZSTD_inBuffer& in, ZSTD_EndDirective mode) {
    if (direct_ != nullptr) {
      auto room = direct_->room(out_.size());
      if (!room) return std::unexpected(std::move(room).error());
      ZSTD_outBuffer out{room->data(), room->size(), 0};
      const std::size_t remaining = ZSTD_compressStream2(ctx_, &out, &in, mode);
      if (ZSTD_isError(remaining)) return std::unexpected(zstd_error(remaining));
      direct_->commit(out.pos);
      return remaining;
    }
    ZSTD_outBuffer out{out_.data(), out_.size(), 0};
    const std::size_t remaining = ZSTD_compressStream2(ctx_, &out, &in, mode);
    if (ZSTD_isError(remaining)) return std::unexpected(zstd_error(remaining));
    if (out.pos > 0) KOV_TRY(inner_.write({out_.data(), out.pos}));
    return remaining;
  }

  ZSTD_CCtx* ctx_;
  ByteSink& inner_;
  format::BufferedWriter* direct_;
  std::vector<std::uint8_t>& out_;
};

std::int64_t seconds_since_epoch(const struct timespec& t) { return t.tv_sec < 0 ? 0 : t.tv_sec; }

// SHA-256 of no bytes: the digest of every directory entry.
constexpr format::Digest EMPTY_DIGEST{
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};

class Writer {
 public:
  Writer(int dir, const std::string& name, const crypto::EncryptionCredential& credential,
         ArchiveSettings& settings, format::Version version)
      : dir_(dir), name_(name), credential_(credential), settings_(settings), version_(version) {}

  // On success the file is complete and on disk, and stays open in `file()`.
  Result<void> run(std::span<const WalkedSource> sources);
  TemporaryArchive& file() noexcept { return *file_; }

 private:
  int dir_;
  const std::string& name_;
  const crypto::EncryptionCredential& credential_;
  ArchiveSettings& settings_;
  format::Version version_;

  std::optional<TemporaryArchive> file_;
  std::optional<format::BufferedWriter> out_;
  std::optional<crypto::ArchiveKey> key_;
  util::ZstdCctx zstd_{ZSTD_createCCtx()};
  std::vector<std::uint8_t> zstd_out_ = std::vector<std::uint8_t>(ZSTD_CStreamOutSize());
  std::vector<std::uint8_t> read_buffer_;
  format::Sha256 sha_;
  std::vector<Entry> entries_;
  SourceOpener sources_;

  Result<void> open() {
    auto created = TemporaryArchive::create(dir_, name_);
    if (!created) return std::unexpected(std::move(created).error());
    file_.emplace(std::move(*created));
    out_.emplace(file_->get(), WRITE_BUFFER);
    out_->start_writeback_early();
    if (!zstd_) throw std::bad_alloc();
    for (const auto& [param, value] :
         {std::pair{ZSTD_c_compressionLevel, static_cast<int>(settings_.compression_level)},
          std::pair{ZSTD_c_windowLog, 23}, std::pair{ZSTD_c_checksumFlag, 0}}) {
      const std::size_t rc = ZSTD_CCtx_setParameter(zstd_.get(), param, value);
      if (ZSTD_isError(rc)) return std::unexpected(zstd_error(rc));
    }
    return {};
  }

  Result<void> write_entry(const WalkedSource& source, std::uint32_t index) {
    KOV_TRY(check_cancelled());
    const bool compress = source.kind == EntryKind::File;
    util::Fd input;
    struct stat st{};
    if (compress) {
      // The status of the opened file is the status of the source: it was
      // reached without following a link, and is the file the walk saw.
      auto opened = sources_.open_file(source);
      if (!opened) return std::unexpected(std::move(opened).error());
      input = std::move(opened->fd);
      st = opened->status;
    } else {
      auto status = sources_.status(source);
      if (!status) return std::unexpected(std::move(status).error());
      st = *status;
    }
    Entry entry;
    entry.path = source.archive_path;
    entry.kind = source.kind;
    entry.mode = st.st_mode & 0777;
    entry.modified_unix = seconds_since_epoch(st.st_mtim);
    if (source.kind == EntryKind::Directory) {
      entry.sha256_bytes = EMPTY_DIGEST;
      entries_.push_back(std::move(entry));
      progress_add(1);
      return {};
    }

    entry.codec = compress ? "zstd" : "store";
    entry.codec_id = compress ? CODEC_ZSTD : CODEC_STORE;
    entry.compression_level = compress ? settings_.compression_level : std::int8_t{0};
    entry.encrypted = key_.has_value();
    entry.data_offset = out_->position();

    std::optional<crypto::EncryptWriter> encrypt;
    ByteSink* sink = &*out_;
    if (key_) sink = &encrypt.emplace(*out_, *key_, entry_cipher_context(settings_, entry, index));

    if (compress) {
      const std::size_t rc = ZSTD_CCtx_reset(zstd_.get(), ZSTD_reset_session_only);
      if (ZSTD_isError(rc)) return std::unexpected(zstd_error(rc));
      ZstdSink compressor(zstd_.get(), *sink, encrypt ? nullptr : &*out_, zstd_out_);
      if (read_buffer_.size() != settings_.io_buffer_size)
        read_buffer_.resize(settings_.io_buffer_size);
      for (;;) {
        KOV_TRY(check_cancelled());
        auto n = util::read_some(input.get(), read_buffer_);
        if (!n) return std::unexpected(std::move(n).error());
        if (*n == 0) break;
        const std::span<const std::uint8_t> bytes(read_buffer_.data(), *n);
        sha_.update(bytes);
        KOV_TRY(compressor.write(bytes));
        entry.original_size += bytes.size();
        progress_add(bytes.size());
        // Only a read of 0 bytes is the end: /proc, FUSE and network file
        // systems return short reads in the middle of a file.
      }
      KOV_TRY(compressor.finish());
    } else {
      KOV_TRY(check_cancelled());
      const std::string& target = source.inline_data.value();
      const std::span<const std::uint8_t> bytes(
          reinterpret_cast<const std::uint8_t*>(target.data()), target.size());
      sha_.update(bytes);
      KOV_TRY(sink->write(bytes));
      entry.original_size = bytes.size();
      progress_add(bytes.size());
    }
    if (encrypt) KOV_TRY(encrypt->finish());
    entry.stored_size = out_->position() - entry.data_offset;
    entry.sha256_bytes = sha_.finish();
    entries_.push_back(std::move(entry));
    progress_add(1);
    return {};
  }

  Result<void> derive_key() {
    auto derived =
        crypto::derive_key(credential_, settings_.encryption, settings_.salt,
                           settings_.kdf_memory_kib, settings_.kdf_iterations, settings_.kdf_lanes);
    if (!derived) return std::unexpected(std::move(derived).error());
    if (*derived) key_.emplace(std::move(**derived));
    return {};
  }

  // The header written first: no index yet, so no ID, offsets or flags.
  format::Header placeholder_header() const {
    const std::time_t now = std::time(nullptr);
    format::Header header;
    header.major = version_.major;
    header.minor = version_.minor;
    header.patch = version_.patch;
    header.profile = static_cast<std::uint8_t>(settings_.profile);
    header.created_unix = now < 0 ? 0 : static_cast<std::int64_t>(now);
    header.io_buffer_size = settings_.io_buffer_size;
    return header;
  }

  // The index as stored: sealed (then the header's flags, ID, time and index
  // length change with it), tagged, or clear.
  Result<std::vector<std::uint8_t>> stored_index(format::Header& header) {
    auto index = encode_index(entries_, settings_);
    if (!index) return std::unexpected(std::move(index).error());
    if (key_ && version_ == format::VERSION_0_5_0) return seal(header, std::move(*index));
    if (!key_) return std::move(*index);
    auto tag = crypto::index_tag_of_stored_index(*key_, settings_.nonce_prefix, *index);
    if (!tag) return std::unexpected(std::move(tag).error());
    settings_.index_tag = *tag;
    return encode_index(entries_, settings_);
  }

  // The envelope: the magic and the bootstrap settings (without the index
  // tag), then the index encrypted under a header that says so.
  Result<std::vector<std::uint8_t>> seal(format::Header& header, std::vector<std::uint8_t> index) {
    header.flags = format::FLAG_SEALED_METADATA;
    header.created_unix = 0;
    KOV_TRY(util::random_bytes(header.id));
    ArchiveSettings bootstrap = settings_;
    bootstrap.index_tag.fill(0);
    std::array<std::uint8_t, crypto::SEAL_PREFIX_SIZE> prefix{};
    std::ranges::copy(crypto::SEAL_MAGIC, prefix.begin());
    std::ranges::copy(encode_settings(bootstrap), prefix.begin() + crypto::SEAL_MAGIC.size());
    header.index_length = index.size() + crypto::SEALED_ENVELOPE_OVERHEAD;
    const auto associated = crypto::sealed_metadata_aad(header.encode(), prefix);
    KOV_TRY(crypto::seal_metadata(*key_, settings_.nonce_prefix, associated, index));
    std::vector<std::uint8_t> stored;
    stored.reserve(prefix.size() + index.size());
    stored.assign(prefix.begin(), prefix.end());
    stored.insert(stored.end(), index.begin(), index.end());
    return stored;
  }

  // The real header over the placeholder, then the whole file to disk.
  Result<void> write_final_header(const format::Header& header) {
    KOV_TRY(util::pwrite_all(file_->get(), header.encode(), 0));
    return util::fsync_all(file_->get());
  }
};

Result<void> Writer::run(std::span<const WalkedSource> sources) {
  KOV_TRY(open());
  KOV_TRY(derive_key());
  format::Header header = placeholder_header();
  KOV_TRY(out_->write(header.encode()));

  entries_.reserve(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i)
    KOV_TRY(write_entry(sources[i], static_cast<std::uint32_t>(i)));

  header.id = archive_id(header.created_unix, entries_);
  header.index_offset = out_->position();
  auto stored = stored_index(header);
  if (!stored) return std::unexpected(std::move(stored).error());
  if (header.index_length == 0) header.index_length = stored->size();
  const format::Footer footer{format::digest(*stored), header.index_offset, header.index_length};
  KOV_TRY(out_->write(*stored));
  KOV_TRY(out_->write(footer.encode()));
  KOV_TRY(out_->flush());
  return write_final_header(header);
}

}  // namespace

std::array<std::uint8_t, 16> archive_id(std::int64_t created_unix, std::span<const Entry> entries) {
  format::Sha256 sha;
  std::array<std::uint8_t, 8> number{};
  format::store_u64(number, static_cast<std::uint64_t>(created_unix));
  sha.update(number);
  for (const Entry& entry : entries) {
    sha.update({reinterpret_cast<const std::uint8_t*>(entry.path.data()), entry.path.size()});
    sha.update(entry.sha256_bytes);
    format::store_u64(number, entry.original_size);
    sha.update(number);
  }
  const format::Digest sum = sha.finish();
  std::array<std::uint8_t, 16> id{};
  std::copy(sum.begin(), sum.begin() + 16, id.begin());
  return id;
}

Result<TemporaryArchive> TemporaryArchive::create(int dir, std::string name) {
  util::Fd file(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!file.valid()) return std::unexpected(Error::os(errno));
  return TemporaryArchive(dir, std::move(name), std::move(file));
}

Result<TemporaryArchive> create_into_file(int dir, const std::string& name,
                                          std::span<const WalkedSource> sources,
                                          const crypto::EncryptionCredential& credential,
                                          ArchiveSettings& settings, format::Version version) {
  Writer writer{dir, name, credential, settings, version};
  KOV_TRY(writer.run(sources));
  return std::move(writer.file());
}

Result<void> create_into(const std::filesystem::path& path, std::span<const SourceEntry> sources,
                         const crypto::EncryptionCredential& credential, ArchiveSettings& settings,
                         format::Version version) {
  auto place = util::open_parent_directory(path);
  if (!place) return std::unexpected(std::move(place).error());
  // Sources given by whole paths: no walk saw them.
  std::vector<WalkedSource> walked;
  walked.reserve(sources.size());
  for (const SourceEntry& source : sources) walked.push_back({source});
  auto file =
      create_into_file(place->dir.get(), place->name, walked, credential, settings, version);
  if (!file) return std::unexpected(std::move(file).error());
  (void)std::move(*file).commit();
  return {};
}

}  // namespace kov_core::archive
