#pragma once
// Operating-system randomness: getrandom(2), with /dev/urandom where the call
// does not exist. A failure is Io with the source's error.

#include <cstdint>
#include <span>

#include "kov_core/error.hpp"

namespace kov_core::util {

Result<void> random_bytes(std::span<std::uint8_t> out);

}  // namespace kov_core::util
