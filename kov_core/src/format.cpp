#include "kov_core/format.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace kov_core::format {

std::string Version::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

Result<int> format_generation(Version version) {
  if (version == Version{1, 0, 0} || version == Version{0, 2, 0} || version == Version{0, 3, 0}) return 0;
  if (version == VERSION_0_4_0) return 1;
  if (version == VERSION_0_5_0) return 2;
  return std::unexpected(Error::unsupported("format version " + version.text()));
}

void store_u32(std::span<std::uint8_t, 4> out, std::uint32_t value) noexcept {
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void store_u64(std::span<std::uint8_t, 8> out, std::uint64_t value) noexcept {
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t load_u16(const std::uint8_t* in) noexcept {
  return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

std::uint32_t load_u32(const std::uint8_t* in) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = (value << 8) | in[i];
  return value;
}

std::uint64_t load_u64(const std::uint8_t* in) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 8; i-- > 0;) value = (value << 8) | in[i];
  return value;
}

// ---- SHA-256 ----

namespace {

// Fetched once: an implicit fetch on every initialisation costs more than
// hashing a small file.
const EVP_MD* sha256_method() {
  static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return method != nullptr ? method : EVP_sha256();
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(ctx_), sha256_method(), nullptr) != 1)
    throw std::bad_alloc();
}

Sha256::Sha256(Sha256&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    ctx_ = std::exchange(other.ctx_, nullptr);
  }
  return *this;
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(std::span<const std::uint8_t> bytes) {
  // SHA-256 over memory cannot fail once the context exists.
  (void)EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

Digest Sha256::finish() {
  Digest out{};
  unsigned int length = 0;
  auto* ctx = static_cast<EVP_MD_CTX*>(ctx_);
  (void)EVP_DigestFinal_ex(ctx, out.data(), &length);
  (void)EVP_DigestInit_ex2(ctx, sha256_method(), nullptr);
  return out;
}

Digest digest(std::span<const std::uint8_t> bytes) {
  Digest out{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, sha256_method(), nullptr) != 1)
    throw std::bad_alloc();  // only a failed context allocation makes EVP_Digest fail
  return out;
}

// ---- Header ----

std::array<std::uint8_t, HEADER_SIZE> Header::encode() const {
  std::array<std::uint8_t, HEADER_SIZE> out{};
  std::copy(HEADER_MAGIC.begin(), HEADER_MAGIC.end(), out.begin());
  out[8] = major;
  out[9] = minor;
  out[10] = patch;
  out[11] = profile;
  store_u32(std::span(out).subspan<12, 4>(), flags);
  std::copy(id.begin(), id.end(), out.begin() + 16);
  store_u64(std::span(out).subspan<32, 8>(), static_cast<std::uint64_t>(created_unix));
  store_u32(std::span(out).subspan<40, 4>(), io_buffer_size);
  store_u64(std::span(out).subspan<48, 8>(), index_offset);
  store_u64(std::span(out).subspan<56, 8>(), index_length);
  // The checksum covers the header with its own four bytes zeroed, so it is filled in last.
  const Digest sum = digest(out);
  std::copy(sum.begin(), sum.begin() + 4, out.begin() + 44);
  return out;
}

Result<Header> Header::decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < HEADER_SIZE) return std::unexpected(Error::corrupt("truncated header"));
  std::array<std::uint8_t, HEADER_SIZE> raw{};
  std::copy(bytes.begin(), bytes.begin() + HEADER_SIZE, raw.begin());
  if (!std::equal(HEADER_MAGIC.begin(), HEADER_MAGIC.end(), raw.begin()))
    return std::unexpected(Error::corrupt("wrong KOV magic"));
  const Version version{raw[8], raw[9], raw[10]};
  auto generation = format_generation(version);
  if (!generation) return std::unexpected(std::move(generation).error());
  if (*generation == 0 && raw[11] != 0)
    return std::unexpected(Error::corrupt("non-zero reserved version byte"));
  std::array<std::uint8_t, 4> stored{};
  std::copy(raw.begin() + 44, raw.begin() + 48, stored.begin());
  std::fill(raw.begin() + 44, raw.begin() + 48, std::uint8_t{0});
  const Digest sum = digest(raw);
  if (!std::equal(stored.begin(), stored.end(), sum.begin()))
    return std::unexpected(Error::corrupt("header checksum mismatch"));

  Header header;
  header.major = version.major;
  header.minor = version.minor;
  header.patch = version.patch;
  header.profile = raw[11];
  header.flags = load_u32(&raw[12]);
  std::copy(raw.begin() + 16, raw.begin() + 32, header.id.begin());
  header.created_unix = static_cast<std::int64_t>(load_u64(&raw[32]));
  header.io_buffer_size = load_u32(&raw[40]);
  header.index_offset = load_u64(&raw[48]);
  header.index_length = load_u64(&raw[56]);
  return header;
}

Result<Header> Header::decode(BufferedFile& file) {
  std::array<std::uint8_t, HEADER_SIZE> raw{};
  // A short read looks like a damaged file; the I/O error behind it adds nothing.
  if (!file.read_exact(raw)) return std::unexpected(Error::corrupt("truncated header"));
  return decode(std::span<const std::uint8_t>(raw));
}

// ---- In-memory cursor and appender ----

namespace {

Error truncated_integer() { return Error::corrupt("truncated integer"); }

}  // namespace

bool ByteReader::take(std::size_t n, std::span<const std::uint8_t>& out) noexcept {
  if (remaining() < n) return false;
  out = bytes_.subspan(position_, n);
  position_ += n;
  return true;
}

Result<std::uint32_t> ByteReader::read_u32() {
  std::span<const std::uint8_t> raw;
  if (!take(4, raw)) return std::unexpected(truncated_integer());
  return load_u32(raw.data());
}

Result<std::uint64_t> ByteReader::read_u64() {
  std::span<const std::uint8_t> raw;
  if (!take(8, raw)) return std::unexpected(truncated_integer());
  return load_u64(raw.data());
}

Result<std::int64_t> ByteReader::read_i64() {
  std::span<const std::uint8_t> raw;
  if (!take(8, raw)) return std::unexpected(truncated_integer());
  return static_cast<std::int64_t>(load_u64(raw.data()));
}

void ByteWriter::put_u16(std::uint16_t value) {
  bytes_.push_back(static_cast<std::uint8_t>(value));
  bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
}

void ByteWriter::put_u32(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void ByteWriter::put_u64(std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// ---- Buffered file reading and writing ----

BufferedFile::BufferedFile(int fd, std::size_t capacity) : fd_(fd), buffer_(std::max<std::size_t>(capacity, 1)) {}

Result<void> BufferedFile::read_exact(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    if (start_ == end_) {
      // Large reads bypass the buffer.
      std::uint8_t* target = out.size() >= buffer_.size() ? out.data() : buffer_.data();
      const std::size_t want = out.size() >= buffer_.size() ? out.size() : buffer_.size();
      ssize_t n;
      do {
        n = ::read(fd_, target, want);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return std::unexpected(Error::os(errno));
      if (n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
      const auto got = static_cast<std::size_t>(n);
      if (target == out.data()) {
        position_ += got;
        out = out.subspan(got);
        continue;
      }
      start_ = 0;
      end_ = got;
    }
    const std::size_t n = std::min(out.size(), end_ - start_);
    std::memcpy(out.data(), buffer_.data() + start_, n);
    start_ += n;
    position_ += n;
    out = out.subspan(n);
  }
  return {};
}

Result<void> BufferedFile::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
      ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
    return std::unexpected(Error::os(offset > static_cast<std::uint64_t>(INT64_MAX) ? EINVAL : errno));
  start_ = end_ = 0;
  position_ = offset;
  return {};
}

Result<void> read_exact(ByteSource& source, std::span<std::uint8_t> out) {
  while (!out.empty()) {
    auto n = source.read(out);
    if (!n) return std::unexpected(std::move(n).error());
    if (*n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    out = out.subspan(*n);
  }
  return {};
}

Result<std::uint64_t> read_u64(BufferedFile& file) {
  std::array<std::uint8_t, 8> raw{};
  if (!file.read_exact(raw)) return std::unexpected(truncated_integer());
  return load_u64(raw.data());
}

BufferedWriter::BufferedWriter(int fd, std::size_t capacity) : fd_(fd), buffer_(std::max<std::size_t>(capacity, 1)) {}

namespace {

Result<void> write_fully(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) return std::unexpected(Error::io("failed to write whole buffer"));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

Result<void> BufferedWriter::write(std::span<const std::uint8_t> bytes) {
  if (used_ + bytes.size() > buffer_.size()) {
    KOV_TRY(flush());
    if (bytes.size() >= buffer_.size()) {
      KOV_TRY(write_out(bytes.data(), bytes.size()));
      position_ += bytes.size();
      return {};
    }
  }
  std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
  position_ += bytes.size();
  return {};
}

Result<std::span<std::uint8_t>> BufferedWriter::room(std::size_t at_least) {
  if (buffer_.size() - used_ < at_least) KOV_TRY(flush());
  if (buffer_.size() < at_least) buffer_.resize(at_least);
  return std::span<std::uint8_t>(buffer_.data() + used_, buffer_.size() - used_);
}

Result<void> BufferedWriter::flush() {
  const std::size_t n = std::exchange(used_, 0);
  return write_out(buffer_.data(), n);
}

Result<void> BufferedWriter::write_out(const std::uint8_t* data, std::size_t size) {
  KOV_TRY(write_fully(fd_, data, size));
  // Advisory: a failure here shows again in the final fsync, which is checked.
  if (writeback_ && size > 0)
    (void)::sync_file_range(fd_, static_cast<off_t>(written_), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
  written_ += size;
  return {};
}

Result<void> write_u64(BufferedWriter& writer, std::uint64_t value) {
  std::array<std::uint8_t, 8> raw{};
  store_u64(raw, value);
  return writer.write(raw);
}

}  // namespace kov_core::format
