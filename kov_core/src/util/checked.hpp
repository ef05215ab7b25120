#pragma once
// Arithmetic on sizes and offsets read from files (overflow is an error) and
// on estimates and limits (they saturate).

#include <cstdint>
#include <optional>

namespace kov_core::util {

// a + b, or nothing when the sum overflows.
[[nodiscard]] constexpr std::optional<std::uint64_t> checked_add(std::uint64_t a,
                                                                 std::uint64_t b) noexcept {
  if (a > UINT64_MAX - b) return std::nullopt;
  return a + b;
}

// a * b, or nothing when the product overflows.
[[nodiscard]] constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a,
                                                                 std::uint64_t b) noexcept {
  if (a != 0 && b > UINT64_MAX / a) return std::nullopt;
  return a * b;
}

[[nodiscard]] constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

[[nodiscard]] constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

}  // namespace kov_core::util
