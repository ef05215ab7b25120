// The parser: reads the arguments along the definition, left to right, checking
// each value and repetition as it is read, so help or version ends the parse only
// where it stands; conflicts and required arguments are checked at the end.

#include <algorithm>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "kov_core/utf8.hpp"
#include "main/cli.hpp"
#include "main/help_render.hpp"

namespace kov {

namespace {

// The values one argument received, in command-line order.
struct Given {
  const ArgDef* def;
  std::vector<std::string> values = {};
  std::size_t count = 0;  // occurrences; flags have no values
};

struct ParsedCommand {
  const CommandDef* def = nullptr;
  std::vector<Given> args;
};

ParsedCommand start(const CommandDef& def) {
  ParsedCommand command{&def, {}};
  for (const ArgDef& arg : def.args) command.args.push_back({&arg});
  return command;
}

// Where an argument is shown in messages: "--output <OUTPUT>", "--json", "<ARCHIVE>".
std::string arg_label(const ArgDef& arg) {
  if (arg.positional()) return "<" + arg.value_name + ">" + (arg.multiple ? "..." : "");
  return "--" + arg.long_name + (arg.takes_value() ? " <" + arg.value_name + ">" : "");
}

std::string usage_error(const CommandDef& root, const CommandDef& command, std::string_view program,
                        const std::string& message) {
  return "error: " + message + "\n\nUsage: " + render_usage(root, command, program) +
         "\n\nFor more information, try '--help'.\n";
}

// The value checks the parser applies to every value it hands over.
std::optional<std::string> check_value(const ArgDef& arg, const std::string& value) {
  if (arg.kind == ValueKind::Path && value.empty())
    return "a value is required for '" + arg_label(arg) + "' but none was supplied";
  if (arg.kind != ValueKind::Path && !kov_core::util::is_valid_utf8(value))
    return std::string("invalid UTF-8 was detected");
  if (arg.kind == ValueKind::Choice &&
      std::find(arg.choices.begin(), arg.choices.end(), value) == arg.choices.end()) {
    std::string list;
    for (const std::string& choice : arg.choices) list += (list.empty() ? "" : ", ") + choice;
    return "invalid value '" + value + "' for '" + arg_label(arg) +
           "'\n  [possible values: " + list + "]";
  }
  return std::nullopt;
}

std::string value_of(const Given& arg) {
  return arg.values.empty() ? arg.def->default_value.value_or("") : arg.values.front();
}

std::optional<fs::path> optional_path(const Given& arg) {
  if (arg.values.empty()) return std::nullopt;
  return fs::path(arg.values.front());
}

// The values of a parsed subcommand's arguments by id.
class Values {
 public:
  explicit Values(const ParsedCommand& parsed) {
    for (const Given& arg : parsed.args) by_id_[arg.def->id] = &arg;
  }
  [[nodiscard]] std::string text(const char* id) const { return value_of(*by_id_.at(id)); }
  [[nodiscard]] fs::path path(const char* id) const { return fs::path(text(id)); }
  [[nodiscard]] std::optional<fs::path> opt_path(const char* id) const {
    return optional_path(*by_id_.at(id));
  }
  [[nodiscard]] const std::vector<std::string>& all(const char* id) const {
    return by_id_.at(id)->values;
  }
  [[nodiscard]] bool flag(const char* id) const { return by_id_.at(id)->count > 0; }
  template <class Query>
  [[nodiscard]] Query query() const {
    Query q;
    q.archive = path("archive");
    q.json = flag("json");
    q.password_file = opt_path("password_file");
    q.key_file = opt_path("key_file");
    return q;
  }

 private:
  std::map<std::string, const Given*> by_id_;
};

// One builder per alternative: a subcommand without one does not compile.
PublicKey make(std::in_place_type_t<PublicKey>, const Values& v) {
  return {v.path("secret"), v.path("output")};
}
Sign make(std::in_place_type_t<Sign>, const Values& v) {
  return {v.path("archive"), v.path("signing_key"), v.path("output")};
}
VerifySignature make(std::in_place_type_t<VerifySignature>, const Values& v) {
  return {v.path("archive"), v.path("signature"), v.path("public_key")};
}
Help make(std::in_place_type_t<Help>, const Values& v) {
  Help help;
  if (!v.all("command").empty()) help.command = v.all("command").front();
  return help;
}
Create make(std::in_place_type_t<Create>, const Values& v) {
  Create create;
  create.format_version = v.text("format_version");
  create.output = v.opt_path("output");
  for (const std::string& input : v.all("inputs")) create.inputs.emplace_back(input);
  create.password_file = v.opt_path("password_file");
  create.key_file = v.opt_path("key_file");
  return create;
}
Keygen make(std::in_place_type_t<Keygen>, const Values& v) { return {v.path("output")}; }
Extract make(std::in_place_type_t<Extract>, const Values& v) {
  Extract extract;
  extract.archive = v.path("archive");
  extract.destination = v.path("destination");
  extract.entry = v.all("entry");
  extract.password_file = v.opt_path("password_file");
  extract.key_file = v.opt_path("key_file");
  extract.overwrite = v.flag("overwrite");
  return extract;
}
template <class Query>
  requires std::is_base_of_v<ArchiveQuery, Query>
Query make(std::in_place_type_t<Query>, const Values& v) {
  return v.query<Query>();
}

// The alternative at `index`, built from the parsed values.
template <std::size_t... I>
Command to_command(std::size_t index, const Values& values, std::index_sequence<I...>) {
  Command command;
  (void)((index == I &&
          (command =
               make(std::in_place_type<std::variant_alternative_t<I, CommandVariant>>, values),
           true)) ||
         ...);
  return command;
}

Command to_command(const CommandDef& root, const ParsedCommand& parsed) {
  const auto index = static_cast<std::size_t>(parsed.def - root.subcommands.data());
  return to_command(index, Values(parsed),
                    std::make_index_sequence<std::variant_size_v<CommandVariant>>());
}

}  // namespace

std::string program_name(std::span<const std::string> args) {
  if (args.empty()) return "kov";
  const std::string& first = args.front();
  const std::size_t slash = first.find_last_of('/');
  return slash == std::string::npos ? first : first.substr(slash + 1);
}

namespace {

// Reads the arguments left to right along the definition: the root's own
// arguments until a subcommand is named, then that subcommand's and the
// root's global ones.
class Parser {
 public:
  Parser(const CommandDef& root, std::span<const std::string> args, std::string program)
      : root_(root), args_(args), program_(std::move(program)), top_(start(root)) {}

  ParseOutcome run() {
    bool only_positionals = false;
    for (std::size_t i = 1; i < args_.size(); ++i) {
      const std::string& token = args_[i];
      std::optional<ParserExit> exit;
      if (!only_positionals && token == "--")
        only_positionals = true;
      else if (!only_positionals && token.starts_with("--"))
        exit = long_option(i);
      else if (!only_positionals && token.size() > 1 && token[0] == '-')
        exit = short_options(i);
      else
        exit = word(token, only_positionals);
      if (exit) return *exit;
    }
    if (auto exit = check_complete()) return *exit;
    return result();
  }

 private:
  ParserExit error(const std::string& message) const {
    return ParserExit{2, true, usage_error(root_, *context_, program_, message)};
  }

  // An option of the current command, or a global one of the root.
  template <class Matches>
  Given* find(Matches matches) {
    if (sub_.def != nullptr)
      for (Given& arg : sub_.args)
        if (matches(*arg.def)) return &arg;
    for (Given& arg : top_.args)
      if (matches(*arg.def) && (sub_.def == nullptr || arg.def->global)) return &arg;
    return nullptr;
  }

  Given* next_positional() {
    ParsedCommand& current = sub_.def != nullptr ? sub_ : top_;
    for (Given& arg : current.args)
      if (arg.def->positional() && (arg.def->multiple || arg.count == 0)) return &arg;
    return nullptr;
  }

  // "--name" or "--name=value" at `i`.
  std::optional<ParserExit> long_option(std::size_t& i) {
    const std::string& token = args_[i];
    const std::size_t eq = token.find('=');
    const std::string name = token.substr(2, eq == std::string::npos ? eq : eq - 2);
    Given* arg = find([&](const ArgDef& d) { return !d.positional() && d.long_name == name; });
    if (arg == nullptr) return error("unexpected argument '" + token + "' found");
    std::optional<std::string> joined;
    if (eq != std::string::npos) joined = token.substr(eq + 1);
    return take_option(*arg, "--" + name, std::move(joined), i);
  }

  // "-abc", "-ovalue" or "-o=value" at `i`: flags up to the first option that takes a value.
  std::optional<ParserExit> short_options(std::size_t& i) {
    const std::string& token = args_[i];
    for (std::size_t k = 1; k < token.size(); ++k) {
      Given* arg = find([&](const ArgDef& d) { return d.short_name == token[k]; });
      if (arg == nullptr) return error("unexpected argument '-" + token.substr(k, 1) + "' found");
      std::optional<std::string> joined;
      if (arg->def->takes_value() && k + 1 < token.size())
        joined = token.substr(token[k + 1] == '=' ? k + 2 : k + 1);
      if (auto exit = take_option(*arg, std::string("-") + token[k], std::move(joined), i))
        return exit;
      if (arg->def->takes_value()) break;
    }
    return std::nullopt;
  }

  // Returns an exit when the option ends the parse (help, version or an error).
  std::optional<ParserExit> take_option(Given& arg, const std::string& shown,
                                        std::optional<std::string> joined, std::size_t& i) {
    if (!arg.def->takes_value() && joined)
      return error("unexpected value '" + *joined + "' for '" + shown +
                   "' found; no more were expected");
    if (arg.def->action == ArgAction::Help)
      return ParserExit{0, false, render_help(root_, *context_, program_)};
    if (arg.def->action == ArgAction::Version)
      return ParserExit{0, false, root_.name + " " + root_.version + "\n"};
    if (arg.def->takes_value() && !joined) {
      // A following option is not taken as the value.
      if (i + 1 >= args_.size() || (args_[i + 1].starts_with("-") && args_[i + 1] != "-"))
        return error("a value is required for '" + arg_label(*arg.def) + "' but none was supplied");
      joined = args_[++i];
    }
    if (++arg.count > 1 && !arg.def->multiple)
      return error("the argument '" + arg_label(*arg.def) + "' cannot be used multiple times");
    if (!arg.def->takes_value()) return std::nullopt;
    if (auto message = check_value(*arg.def, *joined)) return error(*message);
    arg.values.push_back(std::move(*joined));
    return std::nullopt;
  }

  // A subcommand's name where one may stand, else the next positional's value.
  std::optional<ParserExit> word(const std::string& token, bool only_positionals) {
    if (sub_.def == nullptr && !only_positionals && !root_.subcommands.empty()) {
      const CommandDef* named = root_.find_subcommand(token);
      if (named == nullptr) return error("unrecognized subcommand '" + token + "'");
      sub_ = start(*named);
      context_ = named;
    } else if (Given* arg = next_positional()) {
      if (auto message = check_value(*arg->def, token)) return error(*message);
      ++arg->count;
      arg->values.push_back(token);
    } else {
      return error("unexpected argument '" + token + "' found");
    }
    return std::nullopt;
  }

  // The checks of the whole line: conflicts, the subcommand, required arguments.
  std::optional<ParserExit> check_complete() const {
    std::vector<const Given*> given;  // the arguments of the root and of the subcommand
    for (const Given& arg : top_.args) given.push_back(&arg);
    for (const Given& arg : sub_.args) given.push_back(&arg);

    for (const Given* arg : given) {
      if (arg->count == 0) continue;
      for (const Given* other : given)
        if (other->count > 0 && std::find(arg->def->conflicts.begin(), arg->def->conflicts.end(),
                                          other->def->id) != arg->def->conflicts.end())
          return error("the argument '" + arg_label(*arg->def) + "' cannot be used with '" +
                       arg_label(*other->def) + "'");
    }
    if (sub_.def == nullptr && root_.subcommand_required) {
      std::string names;
      for (const CommandDef& s : root_.subcommands) names += (names.empty() ? "" : ", ") + s.name;
      return error("'" + program_ +
                   "' requires a subcommand but one was not provided\n  [subcommands: " + names +
                   "]");
    }
    std::string missing;
    for (const Given* arg : given)
      if (arg->def->required && arg->count == 0) missing += "\n  " + arg_label(*arg->def);
    if (!missing.empty())
      return error("the following required arguments were not provided:" + missing);
    return std::nullopt;
  }

  Cli result() const {
    Cli cli;
    for (const Given& arg : top_.args) {
      if (arg.def->id == "lang" && !arg.values.empty()) cli.lang = arg.values.front();
      if (arg.def->id == "progress") cli.progress = arg.count > 0;
      if (arg.def->id == "no_progress") cli.no_progress = arg.count > 0;
    }
    if (sub_.def != nullptr) cli.subcommand = to_command(root_, sub_);
    return cli;
  }

  const CommandDef& root_;
  std::span<const std::string> args_;
  std::string program_;
  ParsedCommand top_;
  ParsedCommand sub_;  // def stays null until a subcommand is named
  const CommandDef* context_ = &root_;
};

}  // namespace

ParseOutcome parse(const CommandDef& root, std::span<const std::string> args) {
  std::string program = program_name(args);
  if (args.size() <= 1 && root.help_when_no_arguments)
    return ParserExit{2, true, render_help(root, root, program)};
  return Parser(root, args, std::move(program)).run();
}

}  // namespace kov
