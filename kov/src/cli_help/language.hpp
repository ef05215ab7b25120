#pragma once
// Choosing the help language before anything is parsed.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kov::cli_help {

// 0 English, 1 French, 2 Spanish, 3 German, 4 Portuguese, from a locale-like
// text such as "fr_FR.UTF-8" or "pt-BR"; anything else is 0.
[[nodiscard]] std::size_t language_index(std::string_view text);

// The help language from a --lang argument before any "--" (program name
// first), else from LC_ALL, LC_MESSAGES or LANG; never fails.
[[nodiscard]] std::size_t detect_language(std::span<const std::string> args);

}  // namespace kov::cli_help
