// The one translation unit that uses CLI11: it tokenizes the command line along
// the definition; the value checks and every message are ours.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <new>

#include "main/cli.hpp"
#include "main/help_render.hpp"
#include "main/utf8.hpp"

namespace kov {

namespace {

struct BoundArg {
  const ArgDef* def;
  CLI::Option* option;
  std::vector<std::string> tail = {};  // positional values given after "--"

  [[nodiscard]] std::vector<std::string> values() const {
    std::vector<std::string> all = option->results();
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
  }
  [[nodiscard]] std::size_t count() const { return option->count() + tail.size(); }
};

struct BoundCommand {
  const CommandDef* def;
  CLI::App* app;
  std::vector<BoundArg> args;
};

// Where an argument is shown in messages: "--output <OUTPUT>", "--json", "<ARCHIVE>".
std::string arg_label(const ArgDef& arg) {
  if (arg.positional()) return "<" + arg.value_name + ">" + (arg.multiple ? "..." : "");
  return "--" + arg.long_name + (arg.takes_value() ? " <" + arg.value_name + ">" : "");
}

std::string cli11_name(const ArgDef& arg) {
  if (arg.positional()) return arg.id;
  std::string name;
  if (arg.short_name) name = std::string("-") + arg.short_name + ",";
  return name + "--" + arg.long_name;
}

void bind(CLI::App& app, const CommandDef& def, std::vector<BoundCommand>& bound) {
  BoundCommand command{&def, &app, {}};
  app.set_help_flag(def.auto_help_flag ? "-h,--help" : "", "Print help");
  if (def.auto_version_flag && !def.version.empty())
    app.set_version_flag("-V,--version", def.name + " " + def.version, "Print version");
  for (const ArgDef& arg : def.args) {
    CLI::Option* option = nullptr;
    if (arg.action == ArgAction::Help) {
      option = app.set_help_flag(cli11_name(arg), arg.help);
    } else if (arg.action == ArgAction::Version) {
      option = app.set_version_flag(cli11_name(arg), def.name + " " + def.version, arg.help);
    } else if (!arg.takes_value()) {
      option = app.add_flag(cli11_name(arg));
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    } else {
      option = app.add_option(cli11_name(arg));
      option->type_name(arg.value_name);
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
      if (arg.positional() && arg.multiple) {
        option->expected(1, CLI::detail::expected_max_vector_size);
        option->allow_extra_args(true);
      } else {
        option->expected(1);
        option->allow_extra_args(false);
      }
    }
    command.args.push_back({&arg, option});
  }
  bound.push_back(std::move(command));
  for (const CommandDef& sub : def.subcommands) {
    CLI::App* sub_app = app.add_subcommand(sub.name, sub.about);
    bind(*sub_app, sub, bound);
  }
}

std::string usage_error(const CommandDef& root, const CommandDef& command,
                        std::string_view program, const std::string& message) {
  return "error: " + message + "\n\nUsage: " + render_usage(root, command, program) +
         "\n\nFor more information, try '--help'.\n";
}

// The first argument that names the subcommand, skipping the root's options.
std::size_t subcommand_position(const CommandDef& root, std::span<const std::string> args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (!arg.starts_with("-") || arg == "-") return i;
    for (const ArgDef& def : root.args)
      if (def.takes_value() && !def.positional() && arg == "--" + def.long_name) ++i;
  }
  return args.size();
}

// The value checks the parser applies to every value it hands over.
std::optional<std::string> check_value(const ArgDef& arg, const std::string& value) {
  if (arg.kind == ValueKind::Path && value.empty())
    return "a value is required for '" + arg_label(arg) + "' but none was supplied";
  if (arg.kind != ValueKind::Path && !is_valid_utf8(value))
    return std::string("invalid UTF-8 was detected");
  if (arg.kind == ValueKind::Choice &&
      std::find(arg.choices.begin(), arg.choices.end(), value) == arg.choices.end()) {
    std::string list;
    for (const std::string& choice : arg.choices) list += (list.empty() ? "" : ", ") + choice;
    return "invalid value '" + value + "' for '" + arg_label(arg) + "'\n  [possible values: " +
           list + "]";
  }
  return std::nullopt;
}

// Flags take no value, not even one joined by "=".
std::optional<std::string> flag_with_value(const CommandDef& root, std::span<const std::string> args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    const std::size_t eq = arg.find('=');
    if (!arg.starts_with("--") || eq == std::string::npos) continue;
    const std::string name = arg.substr(2, eq - 2);
    auto is_flag = [&](const CommandDef& c) {
      return std::any_of(c.args.begin(), c.args.end(), [&](const ArgDef& a) {
        return !a.takes_value() && a.long_name == name;
      });
    };
    bool flag = is_flag(root);
    for (const CommandDef& sub : root.subcommands) flag = flag || is_flag(sub);
    if (flag)
      return "unexpected value '" + arg.substr(eq + 1) + "' for '--" + name +
             "' found; no more were expected";
  }
  return std::nullopt;
}

std::string value_of(const BoundArg& arg) {
  const std::vector<std::string> values = arg.values();
  return values.empty() ? arg.def->default_value.value_or("") : values.front();
}

std::optional<fs::path> optional_path(const BoundArg& arg) {
  const std::vector<std::string> values = arg.values();
  if (values.empty()) return std::nullopt;
  return fs::path(values.front());
}

Command to_command(const BoundCommand& bound) {
  std::map<std::string, const BoundArg*> by_id;
  for (const BoundArg& arg : bound.args) by_id[arg.def->id] = &arg;
  auto path = [&](const char* id) { return fs::path(value_of(*by_id.at(id))); };
  auto opt_path = [&](const char* id) { return optional_path(*by_id.at(id)); };
  auto all = [&](const char* id) { return by_id.at(id)->values(); };
  auto flag = [&](const char* id) { return by_id.at(id)->count() > 0; };
  auto query = [&](ArchiveQuery& q) {
    q.archive = path("archive");
    q.json = flag("json");
    q.password_file = opt_path("password_file");
    q.key_file = opt_path("key_file");
  };
  const std::string& name = bound.def->name;
  if (name == "public-key") return PublicKey{path("secret"), path("output")};
  if (name == "sign") return Sign{path("archive"), path("signing_key"), path("output")};
  if (name == "verify-signature")
    return VerifySignature{path("archive"), path("signature"), path("public_key")};
  if (name == "help") {
    Help help;
    if (!all("command").empty()) help.command = all("command").front();
    return help;
  }
  if (name == "create") {
    Create create;
    create.format_version = value_of(*by_id.at("format_version"));
    create.output = opt_path("output");
    for (const std::string& input : all("inputs")) create.inputs.emplace_back(input);
    create.password_file = opt_path("password_file");
    create.key_file = opt_path("key_file");
    return create;
  }
  if (name == "keygen") return Keygen{path("output")};
  if (name == "extract") {
    Extract extract;
    extract.archive = path("archive");
    extract.destination = path("destination");
    extract.entry = all("entry");
    extract.password_file = opt_path("password_file");
    extract.key_file = opt_path("key_file");
    extract.overwrite = flag("overwrite");
    return extract;
  }
  List list;
  query(list);
  if (name == "test") return Test{list};
  if (name == "info") return Info{list};
  return list;
}

std::string program_name(std::span<const std::string> args) {
  if (args.empty()) return "kov";
  const std::string& first = args.front();
  const std::size_t slash = first.find_last_of('/');
  return slash == std::string::npos ? first : first.substr(slash + 1);
}

}  // namespace

ParseOutcome parse(const CommandDef& root, std::span<const std::string> args) {
  const std::string program = program_name(args);
  if (args.size() <= 1 && root.help_when_no_arguments)
    return ParserExit{2, true, render_help(root, root, program)};

  const std::size_t sub_at = subcommand_position(root, args);
  if (sub_at < args.size() && root.find_subcommand(args[sub_at]) == nullptr)
    return ParserExit{2, true,
                      usage_error(root, root, program,
                                  "unrecognized subcommand '" + args[sub_at] + "'")};

  CLI::App app(root.about, root.name);
  std::vector<BoundCommand> bound;
  bound.reserve(1 + root.subcommands.size());
  app.fallthrough();
  bind(app, root, bound);
  app.require_subcommand(0, 1);

  // The parser's error messages are about the subcommand when one was named.
  const CommandDef* context = &root;
  if (sub_at < args.size()) context = root.find_subcommand(args[sub_at]);
  auto error = [&](const std::string& message) {
    return ParserExit{2, true, usage_error(root, *context, program, message)};
  };

  if (auto message = flag_with_value(root, args)) return error(*message);

  // Everything after "--" is positional; CLI11 would hand it to the root once
  // the subcommand's positionals have a value, so those values are placed here.
  std::size_t end = 1;
  while (end < args.size() && args[end] != "--") ++end;
  // CLI11 takes the arguments in reverse order, program name excluded.
  std::vector<std::string> reversed(args.rend() - static_cast<std::ptrdiff_t>(end), args.rend() - 1);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const auto subs = app.get_subcommands();
    const CommandDef& command = subs.empty() ? root : *root.find_subcommand(subs.front()->get_name());
    return ParserExit{0, false, render_help(root, command, program)};
  } catch (const CLI::CallForVersion& version) {
    std::size_t version_at = args.size();
    for (std::size_t i = 1; i < args.size(); ++i)
      if (args[i] == "-V" || args[i] == "--version") {
        version_at = i;
        break;
      }
    if (version_at > sub_at) return error("unexpected argument '" + args[version_at] + "' found");
    return ParserExit{0, false, std::string(version.what()) + "\n"};
  } catch (const CLI::ExtrasError&) {
    const std::vector<std::string> left = app.remaining(true);
    return error("unexpected argument '" + (left.empty() ? std::string() : left.front()) + "' found");
  } catch (const CLI::ArgumentMismatch& e) {
    // The only mismatch left with these settings is an option without its value.
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    for (const BoundCommand& command : bound)
      for (const BoundArg& arg : command.args)
        if (arg.option->get_name() == name)
          return error("a value is required for '" + arg_label(*arg.def) + "' but none was supplied");
    return error(what);
  } catch (const CLI::ParseError& e) {
    return error(e.what());
  }

  const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
  std::vector<BoundArg*> given;  // the arguments of the root and of the chosen subcommand
  for (BoundCommand& command : bound)
    if (command.app == &app || command.app == chosen)
      for (BoundArg& arg : command.args) given.push_back(&arg);

  for (std::size_t i = end + 1; i < args.size(); ++i) {
    BoundArg* target = nullptr;
    for (BoundArg* arg : given)
      if (arg->def->positional() && (arg->def->multiple || arg->count() == 0)) {
        target = arg;
        break;
      }
    if (target == nullptr) return error("unexpected argument '" + args[i] + "' found");
    target->tail.push_back(args[i]);
  }

  for (const BoundArg* arg : given)
    for (const std::string& value : arg->values())
      if (auto message = check_value(*arg->def, value)) return error(*message);
  for (const BoundArg* arg : given)
    if (!arg->def->multiple && arg->count() > 1)
      return error("the argument '" + arg_label(*arg->def) + "' cannot be used multiple times");
  for (const BoundArg* arg : given) {
    if (arg->count() == 0) continue;
    for (const BoundArg* other : given)
      if (other->count() > 0 &&
          std::find(arg->def->conflicts.begin(), arg->def->conflicts.end(), other->def->id) !=
              arg->def->conflicts.end())
        return error("the argument '" + arg_label(*arg->def) + "' cannot be used with '" +
                     arg_label(*other->def) + "'");
  }
  if (chosen == nullptr && root.subcommand_required) {
    std::string names;
    for (const CommandDef& sub : root.subcommands) names += (names.empty() ? "" : ", ") + sub.name;
    return error("'" + program + "' requires a subcommand but one was not provided\n  [subcommands: " +
                 names + "]");
  }
  std::string missing;
  for (const BoundArg* arg : given)
    if (arg->def->required && arg->count() == 0) missing += "\n  " + arg_label(*arg->def);
  if (!missing.empty()) return error("the following required arguments were not provided:" + missing);

  Cli cli;
  const BoundCommand& top = bound.front();
  for (const BoundArg& arg : top.args) {
    if (arg.def->id == "lang" && arg.count() > 0) cli.lang = arg.values().front();
    if (arg.def->id == "progress") cli.progress = arg.count() > 0;
    if (arg.def->id == "no_progress") cli.no_progress = arg.count() > 0;
  }
  for (const BoundCommand& command : bound)
    if (command.app == chosen) cli.subcommand = to_command(command);
  return cli;
}

}  // namespace kov
