#pragma once
// Shared by the archive sources only.

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "kov_core/archive.hpp"
#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"
#include "util/zstd_handles.hpp"

namespace kov_core::archive {

// The checks of validate_stored_path without building the file-system path:
// index decoding runs them for every entry.
Result<void> check_stored_path(std::string_view stored);

// Why a symbolic link is refused: it leads out of the root, or it applies a
// ".." after `name`, which is not a directory.
struct LinkRefusal {
  enum class Kind : std::uint8_t { Escapes, NotDirectory };
  Kind kind = Kind::Escapes;
  std::string name = {};  // NotDirectory only
};

// "unsafe symbolic link {link}: {reason}", the one wording of every refused link.
[[nodiscard]] std::string unsafe_link_text(std::string_view link, std::string_view reason);
// Corrupt with unsafe_link_text for `refusal`.
[[nodiscard]] Error unsafe_link(std::string_view link, const LinkRefusal& refusal);

// An archive being made under a name of its own: the file is created
// exclusively, so the name is never someone else's, and it is removed when the
// owner goes (a failure, a cancellation, an exception) unless committed.
class TemporaryArchive {
 public:
  // Creates `name` in `dir` (O_EXCL, mode 0666 less the umask) for writing.
  // `dir` is borrowed and must stay open while the name is owned.
  static Result<TemporaryArchive> create(int dir, std::string name);
  TemporaryArchive(TemporaryArchive&& other) noexcept
      : dir_(other.dir_),
        name_(std::move(other.name_)),
        file_(std::move(other.file_)),
        owned_(std::exchange(other.owned_, false)) {}
  TemporaryArchive& operator=(TemporaryArchive&&) = delete;
  ~TemporaryArchive() {
    if (owned_) ::unlinkat(dir_, name_.c_str(), 0);
  }

  [[nodiscard]] int get() const noexcept { return file_.get(); }
  // The archive is complete: its name stays; hands back the open file.
  [[nodiscard]] util::Fd commit() && {
    owned_ = false;
    return std::move(file_);
  }

 private:
  TemporaryArchive(int dir, std::string name, util::Fd file) noexcept
      : dir_(dir), name_(std::move(name)), file_(std::move(file)) {}

  int dir_;
  std::string name_;
  util::Fd file_;
  bool owned_ = true;
};

// A source and where creation's walk found it: source_path begins with the
// input as named (input_length bytes), and the writer reaches what follows
// from that input one directory at a time, never through a link; 0: by the
// whole source_path. A nonzero inode is the walk's, with its device: the
// writer refuses a source that is another file by then.
struct WalkedSource : SourceEntry {
  std::size_t input_length = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// create_into at `name` in `dir`, handing back the finished file, still open
// and still removed unless committed; a failure leaves nothing under `name`.
Result<TemporaryArchive> create_into_file(int dir, const std::string& name,
                                          std::span<const WalkedSource> sources,
                                          const crypto::EncryptionCredential& credential,
                                          ArchiveSettings& settings, format::Version version);

// The settings of a new archive from the available memory (MiB, 0 when
// unknown) and the credential's mode; salt and nonce prefix are left zero.
[[nodiscard]] ArchiveSettings new_archive_settings(std::uint32_t available_mib,
                                                   crypto::EncryptionMode mode);

// read_symlink_target for the link `name` in the directory `dir`, read
// without a path; `source` is its path for the messages.
Result<std::string> read_symlink_target_at(int dir, const std::string& name,
                                           const std::string& source,
                                           std::string_view archive_path);

// The output with ".partial" added after its extension ("kov" when it has none
// or one that is not UTF-8), in the output's directory.
[[nodiscard]] std::filesystem::path partial_name(const std::filesystem::path& output);

// A node at the output name, identified without following links.
struct OutputNode {
  dev_t device;
  ino_t inode;
};

// Renames `from` to `to`, both in `dir`, without ever replacing `to`, also
// when it appeared while the archive was written, except `replaceable`: the
// symbolic link found there by the output check. A failure is Io and leaves
// `from` in place.
Result<void> move_into_place(int dir, const std::string& from, const std::string& to,
                             std::optional<OutputNode> replaceable = std::nullopt);

// Password derivation of a new archive needs 32 MiB; unknown memory (0) passes.
Result<void> check_password_memory(crypto::EncryptionMode mode, std::uint32_t available_mib);

// kov never writes an archive its own reader would refuse.
Result<void> check_reader_limits(std::uint64_t entries, std::uint64_t longest_path,
                                 std::uint64_t index_bytes);

// The parameters of the chunk stream of `entry`, number `index` in an archive
// with `settings`: the same for the writer and the decoder, or nothing opens.
[[nodiscard]] inline crypto::EntryCipherContext entry_cipher_context(
    const ArchiveSettings& settings, const Entry& entry, std::uint32_t index) {
  crypto::EntryCipherContext context;
  context.path = entry.path;
  context.nonce_prefix = settings.nonce_prefix;
  context.entry_index = index;
  context.chunk_size = settings.encryption_chunk_size;
  context.kind_code = static_cast<std::uint8_t>(static_cast<std::uint8_t>(entry.kind) + 1);
  context.compressed = entry.codec_id;
  return context;
}

// ---- Opening and decoding ----

// What the library's own code may do with an Archive beyond its public face.
struct ArchiveAccess {
  static Result<Archive> open(const std::filesystem::path& path,
                              const crypto::EncryptionCredential& credential,
                              std::uint32_t available_mib);
  static Result<std::optional<crypto::ArchiveKey>> authenticate(
      const Archive& archive, const crypto::EncryptionCredential& credential,
      std::uint32_t available_mib);
  [[nodiscard]] static int file(const Archive& archive) noexcept { return archive.file_.get(); }
};

// Opening and authentication with the available memory given (MiB, 0 when
// unknown) instead of measured.
Result<Archive> open_archive(const std::filesystem::path& path,
                             const crypto::EncryptionCredential& credential,
                             std::uint32_t available_mib);
Result<std::optional<crypto::ArchiveKey>> authenticate_archive(
    const Archive& archive, const crypto::EncryptionCredential& credential,
    std::uint32_t available_mib);

// The largest index opening accepts: a quarter of the available memory within
// 16 MiB and 1 GiB, 256 MiB when the available memory is unknown.
[[nodiscard]] std::uint64_t index_size_limit(std::uint32_t available_mib);

// The decode buffer: the archive's I/O buffer size but at least 64 KiB, at most
// 64 KiB per MiB of available memory (when known) and at most 8 MiB.
[[nodiscard]] std::size_t decode_buffer_size(std::uint32_t io_buffer_size,
                                             std::uint32_t available_mib);

// Positioned reads of an archive's data area through one window, so that
// consecutive small entries are read together.
class ReadAhead {
 public:
  // `end` is where the data area ends (the index offset).
  ReadAhead(int fd, std::uint64_t end) noexcept : fd_(fd), end_(end) {}
  [[nodiscard]] int fd() const noexcept { return fd_; }
  // Up to out.size() bytes at `offset`; a file that ends there is Io
  // "failed to fill whole buffer".
  Result<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> out);

 private:
  Result<std::size_t> read_file(std::uint64_t offset, std::span<std::uint8_t> out);

  int fd_;
  std::uint64_t end_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0;  // file offset of buffer_[0]
  std::size_t filled_ = 0;
};

// Decodes entries one after another with one set of buffers and one zstd
// context; the decode chain of copy_entry, testing and extraction. The
// available memory that sizes its buffer is measured once, when it is made.
class Decoder {
 public:
  Decoder() noexcept;
  // Decodes entry `index` into `sink` (none: only checked), verifying size and
  // SHA-256; progress grows by the decoded bytes.
  Result<void> decode(const Archive& archive, std::size_t index, const Entry& entry,
                      const crypto::ArchiveKey* key, format::ByteSink* sink);
  // A symbolic link's target, decoded and checked: UTF-8 and safe for the link's path.
  Result<std::string> link_target(const Archive& archive, std::size_t index, const Entry& entry,
                                  const crypto::ArchiveKey* key);
  // The available memory measured when it was made (MiB, 0 when unknown).
  [[nodiscard]] std::uint32_t available_mib() const noexcept { return available_mib_; }

 private:
  std::uint32_t available_mib_;
  util::ZstdDctx dctx_;
  std::vector<std::uint8_t> buffer_;
  std::vector<std::uint8_t> zstd_input_;
  std::optional<ReadAhead> window_;
};

// ---- Extraction ----

// What a selection needs of the destination's file system.
struct Preflight {
  std::uint64_t bytes = 0;
  std::uint64_t entries = 0;
};

// Bytes and file-system entries of the selected entries (a resource fork
// stages a copy of its owner); Corrupt on overflow or a fork without its owner.
Result<Preflight> preflight_extraction(std::span<const Entry* const> selected);

// The space and inode check against statvfs figures: free blocks for
// unprivileged users, fragment size, free inodes (0: not reported). A reserve
// of 5 % of the space, at most 64 MiB, and 1024 inodes stays free.
Result<void> check_capacity(const Preflight& need, std::uint64_t free_blocks,
                            std::uint64_t fragment_size, std::uint64_t free_inodes);

struct ExtractionOptions {
  // Many flushes in flight at once where the system allows; else one at a time.
  bool concurrent_flushes = true;
  // Files that may wait for their flush at once; 0: as many as the free
  // descriptors allow. A larger figure than they allow is met by waiting less.
  unsigned flush_window = 0;
  // Tests only: runs once every entry is made, before the kernel checks the links.
  std::function<void()> before_link_check;
};

Result<std::uint64_t> extract_archive(const Archive& archive,
                                      const std::filesystem::path& destination,
                                      std::span<const std::string> selected, bool overwrite,
                                      const crypto::EncryptionCredential& credential,
                                      const ExtractionOptions& options);

}  // namespace kov_core::archive
