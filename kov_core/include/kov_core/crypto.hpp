#pragma once
// Credentials, key derivation, key files and the encrypted entry streams.

#include <cstdint>
#include <string_view>

namespace kov_core::crypto {

enum class EncryptionMode : std::uint8_t { None = 0, Password = 1, KeyFile = 2 };

// "none", "password" or "keyfile".
[[nodiscard]] std::string_view encryption_mode_name(EncryptionMode mode) noexcept;

}  // namespace kov_core::crypto
