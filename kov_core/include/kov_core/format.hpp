#pragma once
// The byte framing of an archive: the 64-byte header, the 88-byte footer, the
// format versions, SHA-256 and the little-endian readers and writers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kov_core/error.hpp"

// OpenSSL's EVP_MD_CTX, named here so that its header stays private.
struct evp_md_ctx_st;

namespace kov_core::format {

inline constexpr std::size_t HEADER_SIZE = 64;
inline constexpr std::size_t FOOTER_SIZE = 88;
inline constexpr std::array<std::uint8_t, 8> HEADER_MAGIC{'K',  'O',  'V',  0x1A,
                                                          0x0D, 0x0A, 0x00, 0x00};
inline constexpr std::array<std::uint8_t, 8> FOOTER_MAGIC{'K', 'O', 'V', 'E', 'N', 'D', '1', 0x00};
// Header flag bit 0: the index is replaced by a sealed metadata envelope.
inline constexpr std::uint32_t FLAG_SEALED_METADATA = 1;

using Digest = std::array<std::uint8_t, 32>;

struct Version {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint8_t patch = 0;

  friend bool operator==(const Version&, const Version&) = default;
  // "{major}.{minor}.{patch}"
  [[nodiscard]] std::string text() const;
};

inline constexpr Version VERSION_0_4_0{0, 4, 0};
inline constexpr Version VERSION_0_5_0{0, 5, 0};

// 0 for 1.0.0, 0.2.0 and 0.3.0; 1 for 0.4.0; 2 for 0.5.0; any other version is
// Unsupported "format version {}.{}.{}".
Result<int> format_generation(Version version);

class BufferedFile;

// Where a byte stream goes. Errors are Io: an operating-system error or a
// fixed message of the layer that failed.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all of `bytes` or fails.
  virtual Result<void> write(std::span<const std::uint8_t> bytes) = 0;
};

// Where a byte stream comes from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes placed in `out`; 0 only at the end of the stream or for an empty `out`.
  virtual Result<std::size_t> read(std::span<std::uint8_t> out) = 0;
};

// Fills `out` whole from `source`; a source that ends first is Io
// "failed to fill whole buffer".
Result<void> read_exact(ByteSource& source, std::span<std::uint8_t> out);

struct Header {
  std::array<std::uint8_t, 16> id{};
  std::int64_t created_unix = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;
  std::uint32_t flags = 0;
  std::uint32_t io_buffer_size = 0;
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint8_t patch = 0;
  std::uint8_t profile = 0;

  [[nodiscard]] Version version() const { return {major, minor, patch}; }
  // The 64 bytes, checksum included; a pure function of the fields.
  [[nodiscard]] std::array<std::uint8_t, HEADER_SIZE> encode() const;
  // Reads 64 bytes at the file's position and checks magic, version, the
  // reserved byte of generation 0 and the checksum, in that order.
  static Result<Header> decode(BufferedFile& file);
  // The same checks on bytes in memory; fewer than 64 is "truncated header".
  static Result<Header> decode(std::span<const std::uint8_t> bytes);

  friend bool operator==(const Header&, const Header&) = default;
};

// The 88 bytes after the index: its SHA-256, "KOVEND1\0", the header's index
// offset and length, and the SHA-256 again.
struct Footer {
  Digest index_sha256{};
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;

  [[nodiscard]] std::array<std::uint8_t, FOOTER_SIZE> encode() const;
  // Reads the footer at the file's position and checks it against the header
  // and `index_sha256`, the digest of the index as stored. A failed digest or
  // magic read is Io; the first digest differing from `index_sha256` is Corrupt
  // "index SHA-256 mismatch" (checked before the rest is read); a short offset
  // or length is Corrupt "truncated integer"; offset, length, magic or second
  // digest out of place is Corrupt "footer does not match header/index".
  static Result<Footer> decode(BufferedFile& file, const Header& header,
                               const Digest& index_sha256);

  friend bool operator==(const Footer&, const Footer&) = default;
};

// SHA-256 of a byte string.
[[nodiscard]] Digest digest(std::span<const std::uint8_t> bytes);

// Incremental SHA-256 (OpenSSL's EVP, which uses the CPU's SHA extensions).
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&& other) noexcept = default;
  Sha256& operator=(Sha256&& other) noexcept = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256() = default;

  void update(std::span<const std::uint8_t> bytes);
  // The digest of everything given so far; the object is then ready for a new message.
  [[nodiscard]] Digest finish();

 private:
  struct ContextFree {
    void operator()(evp_md_ctx_st* ctx) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, ContextFree> ctx_;
};

// A cursor over bytes in memory; every read checks what is left.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] std::size_t remaining() const noexcept { return bytes_.size() - position_; }
  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  // Fewer bytes than needed: Corrupt "truncated integer".
  Result<std::uint32_t> read_u32();
  Result<std::uint64_t> read_u64();
  Result<std::int64_t> read_i64();
  // The next n bytes, or an empty result when fewer are left; the caller names the structure.
  [[nodiscard]] bool take(std::size_t n, std::span<const std::uint8_t>& out) noexcept;

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Appends little-endian values to a growing buffer.
class ByteWriter {
 public:
  void put_u8(std::uint8_t value) { bytes_.push_back(value); }
  void put_u16(std::uint16_t value);
  void put_u32(std::uint32_t value);
  void put_u64(std::uint64_t value);
  void put_i64(std::int64_t value) { put_u64(static_cast<std::uint64_t>(value)); }
  void put_bytes(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  void reserve(std::size_t n) { bytes_.reserve(n); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] std::vector<std::uint8_t>& bytes() noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

void store_u32(std::span<std::uint8_t, 4> out, std::uint32_t value) noexcept;
void store_u64(std::span<std::uint8_t, 8> out, std::uint64_t value) noexcept;
[[nodiscard]] std::uint16_t load_u16(const std::uint8_t* in) noexcept;
[[nodiscard]] std::uint32_t load_u32(const std::uint8_t* in) noexcept;
[[nodiscard]] std::uint64_t load_u64(const std::uint8_t* in) noexcept;

// Buffered reading of an archive file through a borrowed descriptor.
class BufferedFile {
 public:
  BufferedFile(int fd, std::size_t capacity);

  // Fills `out` whole from the current position; a short file is Io
  // "failed to fill whole buffer", an operating-system failure its error.
  Result<void> read_exact(std::span<std::uint8_t> out);
  // Moves the position to an absolute offset, dropping what is buffered.
  Result<void> seek(std::uint64_t offset);
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;  // first unread byte of buffer_
  std::size_t end_ = 0;    // one past the last valid byte of buffer_
  std::uint64_t position_ = 0;
};

// Reads 8 bytes little-endian; any failure is Corrupt "truncated integer".
Result<std::uint64_t> read_u64(BufferedFile& file);

// Buffered writing through a borrowed descriptor.
class BufferedWriter final : public ByteSink {
 public:
  BufferedWriter(int fd, std::size_t capacity);

  Result<void> write(std::span<const std::uint8_t> bytes) override;
  // Writes out what is buffered.
  Result<void> flush();
  // Bytes accepted so far, buffered or written.
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  // Free room at the end of the buffer, at least `at_least` bytes (flushing
  // first when needed), for a producer that writes in place and then commits.
  Result<std::span<std::uint8_t>> room(std::size_t at_least);
  // Accepts `n` bytes written into the room.
  void commit(std::size_t n) noexcept {
    used_ += n;
    position_ += n;
  }
  // Asks the kernel to start writing each written range to disk at once, so
  // that a final fsync of a large file waits only for its tail. The file must
  // have been empty and written only through this writer.
  void start_writeback_early() noexcept { writeback_ = true; }

 private:
  Result<void> write_out(const std::uint8_t* data, std::size_t size);

  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t written_ = 0;  // bytes handed to the file so far
  bool writeback_ = false;
};

// Appends 8 bytes little-endian; a failure is the Io error of the write.
Result<void> write_u64(BufferedWriter& writer, std::uint64_t value);

}  // namespace kov_core::format
