// The 64-byte archive header: its encoding and the checks of its decoding.

#include <algorithm>

#include "kov_core/format.hpp"

namespace kov_core::format {

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

}  // namespace kov_core::format
