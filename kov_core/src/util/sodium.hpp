#pragma once
// libsodium must be initialised once before use (it also picks the fastest
// implementation for this CPU then).

#include <cstdint>
#include <span>
#include <string>

namespace kov_core::util {

// Initialises libsodium on first call; cheap afterwards, safe from any thread.
void ensure_sodium() noexcept;

// `bytes` as lower-case hexadecimal digits, two per byte.
[[nodiscard]] std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace kov_core::util
