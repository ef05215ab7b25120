#include "resource_fork.hpp"

namespace kov_core::resource_fork::platform {

Result<Writer> Writer::create_file(util::Fd file) {
  file.reset();
  return std::unexpected(Error::unsupported("resource forks can be restored only on macOS"));
}

Result<void> Writer::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  return std::unexpected(Error::io("resource forks are unsupported"));
}

}  // namespace kov_core::resource_fork::platform
