#pragma once
// The static help texts, one table per text with all five languages.

#include <array>
#include <string_view>

#include "cli_base/localized.hpp"

namespace kov::cli_help {

struct NamedText {
  std::string_view name;
  Localized text;
};

extern const Localized ROOT_ABOUT;
// About texts of the localized subcommands, in the order they are applied.
extern const std::array<NamedText, 7> SUBCOMMAND_ABOUTS;
extern const Localized USAGE_WORD;
extern const Localized HEADING_COMMANDS;
extern const Localized HEADING_ARGUMENTS;
extern const Localized HEADING_OPTIONS;
extern const Localized HELP_FLAG;
extern const Localized VERSION_FLAG;
// Help texts of arguments by id; `output` depends on the command and is separate.
extern const std::array<NamedText, 12> ARGUMENT_HELPS;
extern const Localized OUTPUT_KEY_FILE_HELP;
extern const Localized OUTPUT_ARCHIVE_HELP;
// Shown after the help of the root and the localized subcommands; no final line feed.
extern const Localized EXAMPLES;
// Shown after the examples in the root help only; no final line feed.
extern const Localized SINGLE_PATH;

}  // namespace kov::cli_help
