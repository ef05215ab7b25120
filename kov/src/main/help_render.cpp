#include "main/help_render.hpp"

#include <cstddef>
#include <vector>

#include "kov_core/utf8.hpp"

namespace kov {

namespace {

using kov_core::util::char_count;

constexpr std::string_view DEFAULT_TEMPLATE =
    "{about-with-newline}\n{usage-heading} {usage}\n\n{all-args}{after-help}";

// The arguments a command shows: its own, then the root's global ones.
std::vector<const ArgDef*> shown_args(const CommandDef& root, const CommandDef& command) {
  std::vector<const ArgDef*> args;
  for (const ArgDef& arg : command.args) args.push_back(&arg);
  if (&command != &root)
    for (const ArgDef& arg : root.args)
      if (arg.global) args.push_back(&arg);
  return args;
}

std::string positional_name(const ArgDef& arg) {
  std::string name = (arg.required ? "<" : "[") + arg.value_name + (arg.required ? ">" : "]");
  if (arg.multiple) name += "...";
  return name;
}

// "--output <OUTPUT>", "--json", "<INPUTS>..."
std::string arg_spec(const ArgDef& arg) {
  if (arg.positional()) return positional_name(arg);
  std::string text = "--" + arg.long_name;
  if (arg.takes_value()) text += " <" + arg.value_name + ">";
  return text;
}

std::string value_notes(const ArgDef& arg) {
  std::string out;
  if (arg.takes_value() && arg.default_value) out = "[default: " + *arg.default_value + "]";
  if (!arg.choices.empty() && !arg.hide_possible_values) {
    if (!out.empty()) out += ' ';
    out += "[possible values: ";
    for (std::size_t i = 0; i < arg.choices.size(); ++i) out += (i ? ", " : "") + arg.choices[i];
    out += ']';
  }
  return out;
}

struct Row {
  std::string left;
  std::string right;
};

struct Section {
  std::string heading;
  std::vector<Row> rows;
};

std::string render_section(const Section& section) {
  std::size_t longest = 0;
  for (const Row& row : section.rows) longest = std::max(longest, char_count(row.left));
  std::string out = section.heading + ":\n";
  for (std::size_t i = 0; i < section.rows.size(); ++i) {
    const Row& row = section.rows[i];
    out += "  " + row.left;
    if (!row.right.empty()) out += std::string(longest - char_count(row.left) + 2, ' ') + row.right;
    if (i + 1 < section.rows.size()) out += '\n';
  }
  return out;
}

void add_row(std::vector<Section>& sections, const std::string& heading, Row row) {
  for (Section& section : sections)
    if (section.heading == heading) {
      section.rows.push_back(std::move(row));
      return;
    }
  sections.push_back({heading, {std::move(row)}});
}

std::string render_all_args(const CommandDef& root, const CommandDef& command) {
  std::vector<Section> sections;
  if (!command.subcommands.empty()) {
    Section commands{command.subcommand_heading.empty() ? "Commands" : command.subcommand_heading,
                     {}};
    for (const CommandDef& sub : command.subcommands)
      commands.rows.push_back({sub.name, sub.about});
    sections.push_back(std::move(commands));
  }
  const auto args = shown_args(root, command);
  // Positionals before options; within each, sections in order of first use.
  for (bool positionals : {true, false}) {
    for (const ArgDef* arg : args) {
      if (arg->positional() != positionals) continue;
      std::string heading =
          !arg->heading.empty() ? arg->heading : (positionals ? "Arguments" : "Options");
      std::string left = positionals ? arg_spec(*arg)
                                     : (arg->short_name ? std::string("-") + arg->short_name + ", "
                                                        : std::string("    ")) +
                                           arg_spec(*arg);
      std::string right = arg->help;
      const std::string values = value_notes(*arg);
      if (!values.empty()) right += (right.empty() ? "" : " ") + values;
      add_row(sections, heading, {std::move(left), std::move(right)});
    }
  }
  std::string out;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (i) out += "\n\n";
    out += render_section(sections[i]);
  }
  return out;
}

// Fills the template's placeholders in one pass, so no filled-in text is
// scanned for placeholders again.
std::string fill_template(std::string_view tmpl, const CommandDef& root, const CommandDef& command,
                          std::string_view program) {
  std::string out;
  while (!tmpl.empty()) {
    const std::size_t open = tmpl.find('{');
    const std::size_t close = open == std::string_view::npos ? open : tmpl.find('}', open);
    if (close == std::string_view::npos) {
      out += tmpl;
      break;
    }
    out += tmpl.substr(0, open);
    const std::string_view name = tmpl.substr(open + 1, close - open - 1);
    if (name == "about-with-newline") {
      if (!command.about.empty()) out += command.about + "\n";
    } else if (name == "usage-heading") {
      out += "Usage:";
    } else if (name == "usage") {
      out += render_usage(root, command, program);
    } else if (name == "all-args") {
      out += render_all_args(root, command);
    } else if (name == "after-help") {
      if (!command.after_help.empty()) out += "\n\n" + command.after_help;
    } else {
      out += tmpl.substr(open, close - open + 1);
    }
    tmpl.remove_prefix(close + 1);
  }
  return out;
}

}  // namespace

std::string render_usage(const CommandDef& root, const CommandDef& command,
                         std::string_view program) {
  std::string usage(program);
  if (&command != &root) usage += " " + command.name;
  const auto args = shown_args(root, command);
  for (const ArgDef* arg : args)
    if (!arg->positional() && !arg->required && arg->action == ArgAction::Value) {
      usage += " [OPTIONS]";
      break;
    }
  for (const ArgDef* arg : args)
    if (!arg->positional() && arg->required) usage += " " + arg_spec(*arg);
  for (const ArgDef* arg : args)
    if (arg->positional()) usage += " " + positional_name(*arg);
  if (!command.subcommands.empty())
    usage += command.subcommand_required ? " <COMMAND>" : " [COMMAND]";
  return usage;
}

std::string render_help(const CommandDef& root, const CommandDef& command,
                        std::string_view program) {
  std::string text =
      fill_template(command.help_template.empty() ? DEFAULT_TEMPLATE : command.help_template, root,
                    command, program);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text + "\n";
}

}  // namespace kov
