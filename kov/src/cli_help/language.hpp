#pragma once
// Choosing the help language before anything is parsed.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "cli_base/localized.hpp"

namespace kov::cli_help {

// The language of a locale-like text such as "fr_FR.UTF-8" or "pt-BR" (the
// part before the first separator); English for anything else.
[[nodiscard]] Language language_of(std::string_view text);

// The help language from a --lang argument before any "--" (program name
// first), else from LC_ALL, LC_MESSAGES or LANG; never fails.
[[nodiscard]] Language detect_language(std::span<const std::string> args);

}  // namespace kov::cli_help
