#include "util/sodium.hpp"

#include <sodium.h>

#include <cstdlib>

namespace kov_core::util {

void ensure_sodium() noexcept {
  // sodium_init only fails when the system gives it no randomness at all, and
  // kov never uses libsodium's randomness; it is still required before use.
  static const int initialised = sodium_init();
  (void)initialised;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string text(bytes.size() * 2, '\0');
  // The terminating NUL lands on the string's own terminator.
  sodium_bin2hex(text.data(), text.size() + 1, bytes.data(), bytes.size());
  return text;
}

}  // namespace kov_core::util
