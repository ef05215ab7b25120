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
// Descriptions of the translated subcommands.
extern const Localized HELP_ABOUT;
extern const Localized CREATE_ABOUT;
extern const Localized KEYGEN_ABOUT;
extern const Localized LIST_ABOUT;
extern const Localized EXTRACT_ABOUT;
extern const Localized TEST_ABOUT;
extern const Localized INFO_ABOUT;
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

// The shortcut's question: its first word and the answers it offers.
extern const Localized QUESTION_ACTION;
extern const Localized QUESTION_HINT;
// The words that accept at the question, short and long ("y" and "yes").
extern const Localized ACCEPT_SHORT;
extern const Localized ACCEPT_LONG;

}  // namespace kov::cli_help
