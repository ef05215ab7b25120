#pragma once
// The parsed command line and the parser that produces it.

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "cli_base/command_def.hpp"

namespace kov {

namespace fs = std::filesystem;

struct PublicKey {
  fs::path secret;
  fs::path output;
};
struct Sign {
  fs::path archive;
  fs::path signing_key;
  fs::path output;
};
struct VerifySignature {
  fs::path archive;
  fs::path signature;
  fs::path public_key;
};
struct Help {
  std::optional<std::string> command;
};
struct Create {
  std::string format_version;
  std::optional<fs::path> output;
  std::vector<fs::path> inputs;
  std::optional<fs::path> password_file;
  std::optional<fs::path> key_file;
};
struct Keygen {
  fs::path output;
};
// The fields shared by list, test and info.
struct ArchiveQuery {
  fs::path archive;
  bool json = false;
  std::optional<fs::path> password_file;
  std::optional<fs::path> key_file;
};
struct List : ArchiveQuery {};
struct Extract {
  fs::path archive;
  fs::path destination;
  std::vector<std::string> entry;
  std::optional<fs::path> password_file;
  std::optional<fs::path> key_file;
  bool overwrite = false;
};
struct Test : ArchiveQuery {};
struct Info : ArchiveQuery {};

using CommandVariant =
    std::variant<PublicKey, Sign, VerifySignature, Help, Create, Keygen, List, Extract, Test, Info>;

// One alternative per subcommand, in declaration order.
struct Command : CommandVariant {
  using variant::variant;
  // Appends the ten subcommands to `root`, which has none, in variant order:
  // the alternative at index i is the subcommand at position i, which alone
  // names it.
  [[nodiscard]] static CommandDef augment_subcommands(CommandDef root);
};

// The index of alternative T in Command, and so its subcommand's position.
template <class T, std::size_t I = 0>
[[nodiscard]] consteval std::size_t alternative_index() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, CommandVariant>, T>)
    return I;
  else
    return alternative_index<T, I + 1>();
}

struct Cli {
  std::optional<std::string> lang;
  bool progress = false;
  bool no_progress = false;
  Command subcommand;

  // A fresh command definition, its subcommands carrying their texts in every
  // language for localization; equal on every call.
  [[nodiscard]] static CommandDef command();
};

// What the parser does instead of returning a command line: print help, the
// version or a usage error, then end the process with `status`.
struct ParserExit {
  int status;
  bool to_stderr;
  std::string text;
};

using ParseOutcome = std::variant<Cli, ParserExit>;

// The last component of the first process argument: usage lines start with it.
[[nodiscard]] std::string program_name(std::span<const std::string> args);

// Parses the process arguments, program name first, with a (localized) definition.
[[nodiscard]] ParseOutcome parse(const CommandDef& definition, std::span<const std::string> args);

}  // namespace kov
