#include "kov_core/secret.hpp"

#include <sodium.h>

namespace kov_core::util {

void wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) sodium_memzero(data, size);
}

}  // namespace kov_core::util
