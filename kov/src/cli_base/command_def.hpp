#pragma once
// The command line as data: the parser reads it, the help renderer prints it and
// the localization rewrites its texts. Nothing here parses or prints.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli_base/localized.hpp"

namespace kov {

enum class ValueKind : unsigned char {
  Path,    // operating-system bytes, must not be empty
  Text,    // must be valid UTF-8
  Choice,  // must equal one of `choices` exactly
  Flag,    // takes no value
};

enum class ArgAction : unsigned char { Value, Help, Version };

struct ArgDef {
  std::string id;
  char short_name = 0;
  std::string long_name;  // empty for a positional argument
  std::string value_name;
  ValueKind kind = ValueKind::Path;
  ArgAction action = ArgAction::Value;
  bool required = false;
  bool multiple = false;  // a positional taking 1..n values, or an option repeated once per value
  bool global = false;    // accepted before and after the subcommand
  std::optional<std::string> default_value;
  std::vector<std::string> choices;
  std::vector<std::string> conflicts;  // ids
  std::string help;
  std::string heading;  // empty: the parser's own default heading
  bool hide_possible_values = false;

  [[nodiscard]] bool positional() const { return short_name == 0 && long_name.empty(); }
  [[nodiscard]] bool takes_value() const { return kind != ValueKind::Flag; }
};

// A subcommand's own texts, in every language: its one row, which
// localization applies.
struct SubcommandTexts {
  std::string_view name;
  // The description: one text for every language, or one per language.
  std::variant<std::string_view, const Localized*> about;
  bool examples;                 // the examples follow its help
  const Localized* output_help;  // of its `output` argument, if it has one
};

struct CommandDef {
  std::string name;
  std::string about;
  // Set on subcommands; localization takes their texts from it.
  const SubcommandTexts* texts = nullptr;
  std::string version;     // only the root has one
  std::string after_help;  // text shown after the help
  std::string help_template;
  std::string subcommand_heading;
  std::vector<ArgDef> args;
  std::vector<CommandDef> subcommands;
  bool subcommand_required = false;
  bool help_when_no_arguments = false;

  // Changing an argument that does not exist is a programming error: this
  // stops the process.
  [[nodiscard]] ArgDef& arg(std::string_view id);
  [[nodiscard]] const CommandDef* find_subcommand(std::string_view subcommand_name) const;
};

}  // namespace kov
