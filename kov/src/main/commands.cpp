#include <unistd.h>

#include <type_traits>
#include <variant>

#include "cli_help/localize.hpp"
#include "main/commands_create.hpp"
#include "main/commands_keys.hpp"
#include "main/driver.hpp"
#include "main/help_render.hpp"
#include "main/output.hpp"

namespace kov {

namespace {

using kov_core::Error;
using kov_core::Result;

Result<void> run_help(const Help& help, const RunContext& context) {
  const CommandDef root = cli_help::localized_command(Cli::command(), context.language);
  const CommandDef* command = help.command ? root.find_subcommand(*help.command) : &root;
  if (command == nullptr) command = &root;  // the parser admits only existing names
  if (const int e = write_all(STDOUT_FILENO, render_help(root, *command, context.program)))
    return std::unexpected(Error::os(e));
  write_stdout("\n");
  return {};
}

Result<void> not_available(const char* name) {
  return std::unexpected(Error::unsupported(std::string("the ") + name + " command is not available yet"));
}

}  // namespace

Result<void> run_command(const Command& command, const RunContext& context) {
  return std::visit(
      [&](const auto& c) -> Result<void> {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, Help>) return run_help(c, context);
        else if constexpr (std::is_same_v<T, PublicKey>) return run_public_key(c);
        else if constexpr (std::is_same_v<T, Sign>) return run_sign(c);
        else if constexpr (std::is_same_v<T, VerifySignature>) return run_verify_signature(c);
        else if constexpr (std::is_same_v<T, Create>) return run_create(c, context);
        else if constexpr (std::is_same_v<T, Keygen>) return run_keygen(c);
        else if constexpr (std::is_same_v<T, List>) return not_available("list");
        else if constexpr (std::is_same_v<T, Extract>) return not_available("extract");
        else if constexpr (std::is_same_v<T, Test>) return not_available("test");
        else return not_available("info");
      },
      static_cast<const Command::variant&>(command));
}

}  // namespace kov
