#include <cctype>

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

CommandDef subcommand(std::string name, std::vector<ArgDef> args, std::string about) {
  CommandDef command;
  command.name = std::move(name);
  command.args = std::move(args);
  command.about = std::move(about);
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
  subs.push_back(subcommand("public-key", {positional("secret"), positional("output")},
                            "Export the public Ed25519 key from a KOV signing secret (use a "
                            "dedicated keygen key)"));
  subs.push_back(subcommand(
      "sign",
      {positional("archive"), required(option("signing_key")), required(option("output", 'o'))},
      "Sign every byte of an archive into a separate signature file"));
  subs.push_back(
      subcommand("verify-signature",
                 {positional("archive"), positional("signature"), required(option("public_key"))},
                 "Verify against an independently trusted public key before opening/extracting"));
  subs.push_back(subcommand("help", {help_command}, "Show help for a command"));
  subs.push_back(
      subcommand("create", create_args, "Create a new archive with the current KOV method"));
  subs.push_back(subcommand("keygen", {positional("output")},
                            "Generate a secret KOV key file. Losing it makes key-file archives "
                            "unrecoverable"));
  subs.push_back(
      subcommand("list", query_args(), "List the index without decompressing file data"));
  subs.push_back(
      subcommand("extract", extract_args, "Extract all files or exact selected entry paths"));
  subs.push_back(subcommand("test", query_args(),
                            "Verify structure, index, decompression, sizes and SHA-256 hashes"));
  subs.push_back(subcommand("info", query_args(), "Show archive metadata"));

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
  progress.help = "Force progress display, including when stderr is redirected";
  ArgDef no_progress = conflicting(flag("no_progress"), "progress");
  no_progress.help = "Disable the progress display";
  for (ArgDef* arg : {&lang, &progress, &no_progress}) {
    arg->global = true;
    root.args.push_back(std::move(*arg));
  }

  root = Command::augment_subcommands(std::move(root));
  root.subcommand_required = true;
  root.help_when_no_arguments = true;
  root.version = std::string(VERSION);
  root.about = "Create, inspect, verify, and extract .kov archives";
  return root;
}

}  // namespace kov
