#pragma once
// Rewrites the command definition into one language: descriptions,
// texts after the help, help template, headings, argument help texts and the
// program's own help and version flags.

#include <cstddef>

#include "cli_base/command_def.hpp"
#include "cli_base/localized.hpp"

namespace kov::cli_help {

// Localizes the whole definition; a value outside Language stops the process.
[[nodiscard]] CommandDef localized_command(CommandDef command, Language language);

// Localizes one command and, recursively, its subcommands.
[[nodiscard]] CommandDef translate(CommandDef command, Language language);

}  // namespace kov::cli_help
