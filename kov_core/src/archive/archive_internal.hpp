#pragma once
// Shared by the archive sources only.

#include <string_view>

#include "kov_core/error.hpp"

namespace kov_core::archive {

// The checks of validate_stored_path without building the file-system path:
// index decoding runs them for every entry.
[[nodiscard]] Result<void> check_stored_path(std::string_view stored);

}  // namespace kov_core::archive
