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

}  // namespace kov_core::util
