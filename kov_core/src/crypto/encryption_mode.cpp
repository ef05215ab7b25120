#include "kov_core/crypto.hpp"

namespace kov_core::crypto {

std::string_view encryption_mode_name(EncryptionMode mode) noexcept {
  switch (mode) {
    case EncryptionMode::None:
      return "none";
    case EncryptionMode::Password:
      return "password";
    case EncryptionMode::KeyFile:
      break;
  }
  return "keyfile";
}

}  // namespace kov_core::crypto
