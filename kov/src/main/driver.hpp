#pragma once
// The executable's frame: one command per process, errors to exit statuses.

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "cli_base/localized.hpp"
#include "kov_core/error.hpp"
#include "main/cli.hpp"

namespace kov {

// Exit status of each error kind, indexed by the kind's number.
inline constexpr std::array<int, 5> EXIT_CODES{5, 2, 3, 4, 130};

// What every command gets from the driver besides its own arguments.
struct RunContext {
  Language language = Language::English;
  bool progress = false;
  std::string program;  // the name usage lines start with
};

// Detects the language, takes the single-path shortcut or parses, then runs the
// one command. `args` are the raw process arguments, program name first.
[[nodiscard]] kov_core::Result<void> run(std::span<const std::string> args);

// Runs the command and ends the process: 0, or the error line and the status of its kind.
[[noreturn]] void main(int argc, char** argv);

// The action of each subcommand.
[[nodiscard]] kov_core::Result<void> run_command(const Command& command, const RunContext& context);

}  // namespace kov
