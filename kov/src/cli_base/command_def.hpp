#pragma once
// The command line as data: the parser reads it, the help renderer prints it and
// the localization rewrites its texts. Nothing here parses or prints.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct CommandDef {
  std::string name;
  std::string about;
  std::string version;     // only the root has one
  std::string after_help;  // text shown after the help
  std::string help_template;
  std::string subcommand_heading;
  std::vector<ArgDef> args;
  std::vector<CommandDef> subcommands;
  bool subcommand_required = false;
  bool help_when_no_arguments = false;

  // Changing an argument or subcommand that does not exist is a programming
  // error: these stop the process.
  [[nodiscard]] ArgDef& arg(std::string_view id);
  [[nodiscard]] CommandDef& subcommand(std::string_view subcommand_name);
  [[nodiscard]] const CommandDef* find_subcommand(std::string_view subcommand_name) const;
};

}  // namespace kov
