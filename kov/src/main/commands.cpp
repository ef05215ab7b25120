#include <unistd.h>

#include <variant>

#include "cli_base/write.hpp"
#include "cli_help/localize.hpp"
#include "main/commands_archive.hpp"
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

// A visitor made of one handler per alternative: a subcommand without a
// handler does not compile.
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

}  // namespace

Result<void> run_command(const Command& command, const RunContext& context) {
  return std::visit(
      Overloaded{
          [](const PublicKey& c) -> Result<void> { return run_public_key(c); },
          [](const Sign& c) -> Result<void> { return run_sign(c); },
          [](const VerifySignature& c) -> Result<void> { return run_verify_signature(c); },
          [&](const Help& c) -> Result<void> { return run_help(c, context); },
          [&](const Create& c) -> Result<void> { return run_create(c, context); },
          [](const Keygen& c) -> Result<void> { return run_keygen(c); },
          [](const List& c) -> Result<void> { return run_list(c); },
          [&](const Extract& c) -> Result<void> { return run_extract(c, context); },
          [](const Test& c) -> Result<void> { return run_test(c); },
          [](const Info& c) -> Result<void> { return run_info(c); },
      },
      static_cast<const Command::variant&>(command));
}

}  // namespace kov
