#pragma once
// The rule every component of an archive path follows.

#include <string_view>

namespace kov_core::path_rules {

// False for "", ".", "..", a drive prefix (an ASCII letter then ":"), and any
// component holding NUL, "/" or a backslash; true for everything else.
[[nodiscard]] bool archive_component(std::string_view component) noexcept;

}  // namespace kov_core::path_rules
