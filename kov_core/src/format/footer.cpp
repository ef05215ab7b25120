// The 88-byte footer that closes an archive: its encoding and the checks of
// its decoding against the header and the stored index.

#include <algorithm>

#include "kov_core/format.hpp"

namespace kov_core::format {

std::array<std::uint8_t, FOOTER_SIZE> Footer::encode() const {
  std::array<std::uint8_t, FOOTER_SIZE> out{};
  std::ranges::copy(index_sha256, out.begin());
  std::ranges::copy(FOOTER_MAGIC, out.begin() + 32);
  store_u64(std::span(out).subspan<40, 8>(), index_offset);
  store_u64(std::span(out).subspan<48, 8>(), index_length);
  std::ranges::copy(index_sha256, out.begin() + 56);
  return out;
}

Result<Footer> Footer::decode(BufferedFile& file, const Header& header,
                              const Digest& index_sha256) {
  Footer footer;
  KOV_TRY(file.read_exact(footer.index_sha256));
  // A damaged index is reported as such, also when the footer is damaged too.
  if (footer.index_sha256 != index_sha256)
    return std::unexpected(Error::corrupt("index SHA-256 mismatch"));
  std::array<std::uint8_t, 8> magic{};
  KOV_TRY(file.read_exact(magic));
  auto offset = read_u64(file);
  if (!offset) return std::unexpected(std::move(offset).error());
  auto length = read_u64(file);
  if (!length) return std::unexpected(std::move(length).error());
  Digest again{};
  KOV_TRY(file.read_exact(again));
  if (*length != header.index_length || *offset != header.index_offset || magic != FOOTER_MAGIC ||
      again != footer.index_sha256)
    return std::unexpected(Error::corrupt("footer does not match header/index"));
  footer.index_offset = *offset;
  footer.index_length = *length;
  return footer;
}

}  // namespace kov_core::format
