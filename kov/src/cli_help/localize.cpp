#include "cli_help/localize.hpp"

#include <string>
#include <variant>

#include "cli_help/texts.hpp"

namespace kov::cli_help {

namespace {

const Localized* argument_help(const CommandDef& command, const std::string& id) {
  if (id == "output") return command.texts != nullptr ? command.texts->output_help : nullptr;
  for (const NamedText& entry : ARGUMENT_HELPS)
    if (entry.name == id) return &entry.text;
  return nullptr;
}

ArgDef program_flag(std::string id, char short_name, ArgAction action, const Localized& help,
                    Language language) {
  ArgDef flag;
  flag.short_name = short_name;
  flag.long_name = id;
  flag.id = std::move(id);
  flag.kind = ValueKind::Flag;
  flag.action = action;
  flag.help = help[language];
  flag.heading = HEADING_OPTIONS[language];
  return flag;
}

}  // namespace

CommandDef localized_command(CommandDef command, Language language) {
  command.about = ROOT_ABOUT[language];
  command.after_help =
      std::string(EXAMPLES[language]) + "\n\n" + std::string(SINGLE_PATH[language]);
  return translate(std::move(command), language);
}

CommandDef translate(CommandDef command, Language language) {
  command.help_template = "{about-with-newline}\n" + std::string(USAGE_WORD[language]) +
                          " {usage}\n\n{all-args}{after-help}";
  command.subcommand_heading = HEADING_COMMANDS[language];
  if (const SubcommandTexts* texts = command.texts) {
    if (const auto* each = std::get_if<const Localized*>(&texts->about))
      command.about = (**each)[language];
    else
      command.about = std::get<std::string_view>(texts->about);
    if (texts->examples) command.after_help = EXAMPLES[language];
  }
  for (ArgDef& arg : command.args) {
    const Localized* help = argument_help(command, arg.id);
    if (help == nullptr) continue;
    arg.help = (*help)[language];
    arg.heading = arg.positional() ? HEADING_ARGUMENTS[language] : HEADING_OPTIONS[language];
    arg.hide_possible_values = arg.id == "command" || arg.id == "lang";
  }
  // The parser has no help or version flag of its own: these are the only ones.
  command.args.push_back(program_flag("help", 'h', ArgAction::Help, HELP_FLAG, language));
  if (!command.version.empty())
    command.args.push_back(
        program_flag("version", 'V', ArgAction::Version, VERSION_FLAG, language));
  for (CommandDef& sub : command.subcommands) sub = translate(std::move(sub), language);
  return command;
}

}  // namespace kov::cli_help
