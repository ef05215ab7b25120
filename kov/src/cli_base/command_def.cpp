#include "cli_base/command_def.hpp"

#include <cstdlib>

namespace kov {

ArgDef& CommandDef::arg(std::string_view id) {
  for (ArgDef& a : args)
    if (a.id == id) return a;
  std::abort();
}

const CommandDef* CommandDef::find_subcommand(std::string_view subcommand_name) const {
  for (const CommandDef& c : subcommands)
    if (c.name == subcommand_name) return &c;
  return nullptr;
}

}  // namespace kov
