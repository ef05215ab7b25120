#include <cctype>
#include <utility>
#include <variant>

#include "cli_help/texts.hpp"
#include "kov_version.hpp"
#include "main/cli.hpp"

namespace kov {

namespace {

ArgDef positional(std::string id, bool required = true) {
  ArgDef arg;
  arg.value_name = id;
  for (char& c : arg.value_name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  arg.id = std::move(id);
  arg.required = required;
  return arg;
}

ArgDef option(std::string id, char short_name = 0) {
  ArgDef arg = positional(std::move(id), false);
  arg.short_name = short_name;
  arg.long_name = arg.id;
  for (char& c : arg.long_name) c = c == '_' ? '-' : c;
  return arg;
}

ArgDef flag(std::string id) {
  ArgDef arg = option(std::move(id));
  arg.kind = ValueKind::Flag;
  return arg;
}

ArgDef required(ArgDef arg) {
  arg.required = true;
  return arg;
}

ArgDef conflicting(ArgDef arg, std::string other) {
  arg.conflicts.push_back(std::move(other));
  return arg;
}

std::vector<ArgDef> credential_args() {
  return {conflicting(option("password_file"), "key_file"),
          conflicting(option("key_file"), "password_file")};
}

std::vector<ArgDef> query_args() {
  std::vector<ArgDef> args{positional("archive"), flag("json")};
  for (ArgDef& arg : credential_args()) args.push_back(std::move(arg));
  return args;
}

// Each subcommand's texts, keyed by its alternative: one without them does not compile.
template <class T>
struct Texts;
template <>
struct Texts<PublicKey> {
  static constexpr SubcommandTexts row{
      "public-key",
      "Export the public Ed25519 key from a KOV signing secret (use a dedicated keygen key)", false,
      &cli_help::OUTPUT_KEY_FILE_HELP};
};
template <>
struct Texts<Sign> {
  static constexpr SubcommandTexts row{
      "sign", "Sign every byte of an archive into a separate signature file", false,
      &cli_help::OUTPUT_KEY_FILE_HELP};
};
template <>
struct Texts<VerifySignature> {
  static constexpr SubcommandTexts row{
      "verify-signature",
      "Verify against an independently trusted public key before opening/extracting", false,
      nullptr};
};
template <>
struct Texts<Help> {
  static constexpr SubcommandTexts row{"help", &cli_help::HELP_ABOUT, true, nullptr};
};
template <>
struct Texts<Create> {
  static constexpr SubcommandTexts row{"create", &cli_help::CREATE_ABOUT, true,
                                       &cli_help::OUTPUT_ARCHIVE_HELP};
};
template <>
struct Texts<Keygen> {
  static constexpr SubcommandTexts row{"keygen", &cli_help::KEYGEN_ABOUT, true,
                                       &cli_help::OUTPUT_KEY_FILE_HELP};
};
template <>
struct Texts<List> {
  static constexpr SubcommandTexts row{"list", &cli_help::LIST_ABOUT, true, nullptr};
};
template <>
struct Texts<Extract> {
  static constexpr SubcommandTexts row{"extract", &cli_help::EXTRACT_ABOUT, true, nullptr};
};
template <>
struct Texts<Test> {
  static constexpr SubcommandTexts row{"test", &cli_help::TEST_ABOUT, true, nullptr};
};
template <>
struct Texts<Info> {
  static constexpr SubcommandTexts row{"info", &cli_help::INFO_ABOUT, true, nullptr};
};

template <std::size_t... I>
consteval bool every_alternative_has_texts(std::index_sequence<I...>) {
  return (!Texts<std::variant_alternative_t<I, CommandVariant>>::row.name.empty() && ...);
}
static_assert(
    every_alternative_has_texts(std::make_index_sequence<std::variant_size_v<CommandVariant>>{}));

template <class T>
CommandDef subcommand(std::vector<ArgDef> args) {
  CommandDef command;
  command.name = std::string(Texts<T>::row.name);
  command.texts = &Texts<T>::row;
  command.args = std::move(args);
  return command;
}

}  // namespace

CommandDef Command::augment_subcommands(CommandDef root) {
  ArgDef help_command = positional("command", false);
  help_command.kind = ValueKind::Choice;

  ArgDef format_version = option("format_version");
  format_version.kind = ValueKind::Choice;
  format_version.choices = {"0.4.0", "0.5.0"};
  format_version.default_value = "0.5.0";

  ArgDef inputs = positional("inputs");
  inputs.multiple = true;

  std::vector<ArgDef> create_args{format_version, option("output", 'o'), inputs};
  for (ArgDef& arg : credential_args()) create_args.push_back(std::move(arg));

  ArgDef destination = option("destination", 'd');
  destination.default_value = ".";
  ArgDef entry = option("entry", 'e');
  entry.kind = ValueKind::Text;
  entry.multiple = true;
  std::vector<ArgDef> extract_args{positional("archive"), destination, entry};
  for (ArgDef& arg : credential_args()) extract_args.push_back(std::move(arg));
  extract_args.push_back(flag("overwrite"));

  auto& subs = root.subcommands;
  subs.push_back(subcommand<PublicKey>({positional("secret"), positional("output")}));
  subs.push_back(subcommand<Sign>(
      {positional("archive"), required(option("signing_key")), required(option("output", 'o'))}));
  subs.push_back(subcommand<VerifySignature>(
      {positional("archive"), positional("signature"), required(option("public_key"))}));
  subs.push_back(subcommand<Help>({help_command}));
  subs.push_back(subcommand<Create>(create_args));
  subs.push_back(subcommand<Keygen>({positional("output")}));
  subs.push_back(subcommand<List>(query_args()));
  subs.push_back(subcommand<Extract>(extract_args));
  subs.push_back(subcommand<Test>(query_args()));
  subs.push_back(subcommand<Info>(query_args()));

  // Help offers every other subcommand, the archive ones first.
  std::vector<std::string>& topics = subs[alternative_index<Help>()].arg("command").choices;
  for (const std::size_t topic :
       {alternative_index<Create>(), alternative_index<Keygen>(), alternative_index<List>(),
        alternative_index<Extract>(), alternative_index<Test>(), alternative_index<Info>(),
        alternative_index<Sign>(), alternative_index<PublicKey>(),
        alternative_index<VerifySignature>()})
    topics.push_back(subs[topic].name);
  return root;
}

CommandDef Cli::command() {
  CommandDef root;
  root.name = "kov";

  ArgDef lang = option("lang");
  lang.kind = ValueKind::Choice;
  lang.choices = {"en", "fr", "es", "de", "pt"};
  ArgDef progress = conflicting(flag("progress"), "no_progress");
  ArgDef no_progress = conflicting(flag("no_progress"), "progress");
  for (ArgDef* arg : {&lang, &progress, &no_progress}) {
    arg->global = true;
    root.args.push_back(std::move(*arg));
  }

  root = Command::augment_subcommands(std::move(root));
  root.subcommand_required = true;
  root.help_when_no_arguments = true;
  root.version = std::string(VERSION);
  return root;
}

}  // namespace kov
