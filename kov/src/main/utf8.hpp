#pragma once

#include <string>
#include <string_view>

namespace kov {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

// `bytes` with each maximal invalid UTF-8 subsequence replaced by U+FFFD.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

}  // namespace kov
