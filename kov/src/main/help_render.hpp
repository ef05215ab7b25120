#pragma once
// Renders help texts and usage lines from a command definition, in the layout of
// the parser: aligned columns, sections by heading, no line wrapping.

#include <string>
#include <string_view>

#include "cli_base/command_def.hpp"

namespace kov {

// The help of `command`, a subcommand of `root` or `root` itself, ending in one
// line feed. `program` is the name the usage line starts with.
[[nodiscard]] std::string render_help(const CommandDef& root, const CommandDef& command,
                                      std::string_view program);

// The usage line of `command`, without the "Usage:" word.
[[nodiscard]] std::string render_usage(const CommandDef& root, const CommandDef& command,
                                       std::string_view program);

}  // namespace kov
