// The in-memory cursor and appender, and filling a buffer from a byte source.

#include "kov_core/format.hpp"

namespace kov_core::format {

bool ByteReader::take(std::size_t n, std::span<const std::uint8_t>& out) noexcept {
  if (remaining() < n) return false;
  out = bytes_.subspan(position_, n);
  position_ += n;
  return true;
}

Result<std::uint32_t> ByteReader::read_u32() {
  std::span<const std::uint8_t> raw;
  if (!take(4, raw)) return std::unexpected(Error::corrupt("truncated integer"));
  return load_u32(raw.data());
}

Result<std::uint64_t> ByteReader::read_u64() {
  std::span<const std::uint8_t> raw;
  if (!take(8, raw)) return std::unexpected(Error::corrupt("truncated integer"));
  return load_u64(raw.data());
}

Result<std::int64_t> ByteReader::read_i64() {
  std::span<const std::uint8_t> raw;
  if (!take(8, raw)) return std::unexpected(Error::corrupt("truncated integer"));
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

Result<void> read_exact(ByteSource& source, std::span<std::uint8_t> out) {
  while (!out.empty()) {
    auto n = source.read(out);
    if (!n) return std::unexpected(std::move(n).error());
    if (*n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    out = out.subspan(*n);
  }
  return {};
}

}  // namespace kov_core::format
