#pragma once
// Resource forks exist only on macOS; on Linux the writer refuses them.

#include <cstdint>
#include <span>

#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/format.hpp"

namespace kov_core::resource_fork::platform {

// The sink that attaches a resource fork to a file. It has no state here.
class Writer final : public format::ByteSink {
 public:
  // Takes the descriptor of the file to attach to and closes it; always
  // Unsupported "resource forks can be restored only on macOS" on Linux.
  static Result<Writer> create_file(util::Fd file);
  // An empty buffer succeeds; any byte is Io "resource forks are unsupported".
  Result<void> write(std::span<const std::uint8_t> bytes) override;
  Result<void> write_all(std::span<const std::uint8_t> bytes) { return write(bytes); }

 private:
  Writer() = default;
};

}  // namespace kov_core::resource_fork::platform
