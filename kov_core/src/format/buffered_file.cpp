// Buffered reading and writing of an archive file through a borrowed descriptor.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "kov_core/format.hpp"
#include "util/io.hpp"

namespace kov_core::format {

BufferedFile::BufferedFile(int fd, std::size_t capacity)
    : fd_(fd), buffer_(std::max<std::size_t>(capacity, 1)) {}

Result<void> BufferedFile::read_exact(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    if (start_ == end_) {
      // Large reads bypass the buffer.
      std::uint8_t* target = out.size() >= buffer_.size() ? out.data() : buffer_.data();
      const std::size_t want = out.size() >= buffer_.size() ? out.size() : buffer_.size();
      auto n = util::read_some(fd_, std::span(target, want));
      if (!n) return std::unexpected(std::move(n).error());
      if (*n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
      const std::size_t got = *n;
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
    return std::unexpected(
        Error::os(offset > static_cast<std::uint64_t>(INT64_MAX) ? EINVAL : errno));
  start_ = end_ = 0;
  position_ = offset;
  return {};
}

Result<std::uint64_t> read_u64(BufferedFile& file) {
  std::array<std::uint8_t, 8> raw{};
  if (!file.read_exact(raw)) return std::unexpected(Error::corrupt("truncated integer"));
  return load_u64(raw.data());
}

BufferedWriter::BufferedWriter(int fd, std::size_t capacity)
    : fd_(fd), buffer_(std::max<std::size_t>(capacity, 1)) {}

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
  KOV_TRY(util::write_all(fd_, std::span(data, size)));
  // Advisory: a failure here shows again in the final fsync, which is checked.
  if (writeback_ && size > 0)
    (void)::sync_file_range(fd_, static_cast<off_t>(written_), static_cast<off_t>(size),
                            SYNC_FILE_RANGE_WRITE);
  written_ += size;
  return {};
}

Result<void> write_u64(BufferedWriter& writer, std::uint64_t value) {
  std::array<std::uint8_t, 8> raw{};
  store_u64(raw, value);
  return writer.write(raw);
}

}  // namespace kov_core::format
