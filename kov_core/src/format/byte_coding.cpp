// Little-endian integers stored into and loaded from fixed byte positions.

#include "kov_core/format.hpp"

namespace kov_core::format {

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

}  // namespace kov_core::format
