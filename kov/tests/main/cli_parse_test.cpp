#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_help/localize.hpp"
#include "main/cli.hpp"

namespace {

using namespace kov;

ParseOutcome parse_line(std::vector<std::string> args, Language language = Language::English) {
  args.insert(args.begin(), "/usr/local/bin/kov");
  return parse(cli_help::localized_command(Cli::command(), language), args);
}

template <class T>
T parsed(std::vector<std::string> args) {
  ParseOutcome outcome = parse_line(std::move(args));
  if (auto* exit = std::get_if<ParserExit>(&outcome)) {
    ADD_FAILURE() << "parser exited: " << exit->text;
    return T{};
  }
  const Cli& cli = std::get<Cli>(outcome);
  if (!std::holds_alternative<T>(cli.subcommand)) {
    ADD_FAILURE() << "wrong subcommand variant " << cli.subcommand.index();
    return T{};
  }
  return std::get<T>(cli.subcommand);
}

TEST(CliParse, CreateDefaultsAndInputOrder) {
  const Create create = parsed<Create>({"create", "a", "b"});
  EXPECT_EQ(create.inputs, (std::vector<fs::path>{"a", "b"}));
  EXPECT_EQ(create.format_version, "0.5.0");
  EXPECT_FALSE(create.output);
  EXPECT_FALSE(create.password_file);
  EXPECT_FALSE(create.key_file);

  const Create full = parsed<Create>({"create", "a", "-o", "out.kov", "b", "--format-version=0.4.0",
                                      "--key-file", "k", "--", "-c"});
  EXPECT_EQ(full.inputs, (std::vector<fs::path>{"a", "b", "-c"}));
  EXPECT_EQ(full.output, fs::path("out.kov"));
  EXPECT_EQ(full.format_version, "0.4.0");
  EXPECT_EQ(full.key_file, fs::path("k"));
}

TEST(CliParse, ExtractDefaultsAndRepeatedEntries) {
  const Extract plain = parsed<Extract>({"extract", "a.kov"});
  EXPECT_EQ(plain.destination, fs::path("."));
  EXPECT_TRUE(plain.entry.empty());
  EXPECT_FALSE(plain.overwrite);

  const Extract chosen = parsed<Extract>({"extract", "a.kov", "-e", "x", "--entry=y z", "-dout",
                                          "--overwrite", "--password-file", "p"});
  EXPECT_EQ(chosen.entry, (std::vector<std::string>{"x", "y z"}));
  EXPECT_EQ(chosen.destination, fs::path("out"));
  EXPECT_TRUE(chosen.overwrite);
  EXPECT_EQ(chosen.password_file, fs::path("p"));
}

TEST(CliParse, PathsKeepTheirBytes) {
  const Sign sign = parsed<Sign>({"sign", "a\xff\xfe.kov", "--signing-key", "k", "--output", "s"});
  EXPECT_EQ(sign.archive.native(), "a\xff\xfe.kov");
  EXPECT_EQ(sign.signing_key, fs::path("k"));
  EXPECT_EQ(sign.output, fs::path("s"));
}

TEST(CliParse, GlobalOptionsBeforeAndAfterTheSubcommand) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--lang", "fr", "--no-progress", "list", "a.kov"},
                                             {"list", "a.kov", "--lang", "fr", "--no-progress"},
                                             {"list", "--lang=fr", "a.kov", "--no-progress"}}) {
    ParseOutcome outcome = parse_line(args);
    ASSERT_TRUE(std::holds_alternative<Cli>(outcome));
    const Cli& cli = std::get<Cli>(outcome);
    EXPECT_EQ(cli.lang, "fr");
    EXPECT_TRUE(cli.no_progress);
    EXPECT_FALSE(cli.progress);
    EXPECT_EQ(std::get<List>(cli.subcommand).archive, fs::path("a.kov"));
  }
}

TEST(CliParse, EveryVariantInDeclarationOrder) {
  const std::vector<std::vector<std::string>> lines{
      {"public-key", "k", "p"},
      {"sign", "a", "--signing-key", "k", "-o", "s"},
      {"verify-signature", "a", "s", "--public-key", "p"},
      {"help"},
      {"create", "a"},
      {"keygen", "k"},
      {"list", "a"},
      {"extract", "a"},
      {"test", "a", "--json"},
      {"info", "a"},
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].front());
    ParseOutcome outcome = parse_line(lines[i]);
    ASSERT_TRUE(std::holds_alternative<Cli>(outcome));
    EXPECT_EQ(std::get<Cli>(outcome).subcommand.index(), i);
  }
  EXPECT_TRUE(parsed<kov::Test>({"test", "a", "--json"}).json);
  EXPECT_FALSE(parsed<Help>({"help"}).command);
  EXPECT_EQ(parsed<Help>({"help", "verify-signature"}).command, "verify-signature");
}

TEST(CliParse, HelpAndVersionGoToStandardOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const std::vector<Case> cases{
      {{"--help"}, "Create, inspect, verify and extract .kov archives"},
      {{"-V"}, "kov 0.6.7"},
      {{"sign", "--help"}, "Sign every byte of an archive into a separate signature file"},
      {{"create", "-h", "--bogus"}, "Create an archive; encryption is optional"},
      {{"create", "--help", "--format-version", "9"}, "Create an archive; encryption is optional"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    ParseOutcome outcome = parse_line(c.args);
    ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome));
    const ParserExit& exit = std::get<ParserExit>(outcome);
    EXPECT_EQ(exit.status, 0);
    EXPECT_FALSE(exit.to_stderr);
    EXPECT_EQ(exit.text.substr(0, exit.text.find('\n')), c.first_line);
  }
}

// A value is checked when it is read, so a bad one before the help or version
// flag is the error; a flag given a value is refused wherever it stands.
TEST(CliParse, BadValueBeforeHelpOrVersionIsTheError) {
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const std::vector<Case> cases{
      {{"--lang", "xx", "--help"}, "error: invalid value 'xx' for '--lang <LANG>'"},
      {{"--lang", "fr_FR", "create", "--help"}, "error: invalid value 'fr_FR' for '--lang <LANG>'"},
      {{"create", "--format-version", "9", "--help"},
       "error: invalid value '9' for '--format-version <FORMAT_VERSION>'"},
      {{"create", "-o", "", "x", "--help"},
       "error: a value is required for '--output <OUTPUT>' but none was supplied"},
      {{"help", "nosuch", "--help"}, "error: invalid value 'nosuch' for '<COMMAND>'"},
      {{"list", "a", "--json", "--json", "-h"},
       "error: the argument '--json' cannot be used multiple times"},
      {{"--version=x"}, "error: unexpected value 'x' for '--version' found; no more were expected"},
      {{"keygen", "--help=x"},
       "error: unexpected value 'x' for '--help' found; no more were expected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first_line);
    // French help, as --lang fr_FR selects before parsing; the parser's words stay English.
    ParseOutcome outcome = parse_line(c.args, Language::French);
    ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome));
    const ParserExit& exit = std::get<ParserExit>(outcome);
    EXPECT_EQ(exit.status, 2);
    EXPECT_TRUE(exit.to_stderr);
    EXPECT_EQ(exit.text.substr(0, exit.text.find('\n')), c.first_line);
  }
}

TEST(CliParse, UsageErrorsNameTheSubcommandUsage) {
  ParseOutcome outcome = parse_line({"sign", "a"}, Language::French);
  ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome));
  const ParserExit& exit = std::get<ParserExit>(outcome);
  EXPECT_EQ(exit.status, 2);
  EXPECT_TRUE(exit.to_stderr);
  // The parser's own words stay English in every help language.
  EXPECT_EQ(exit.text,
            "error: the following required arguments were not provided:\n"
            "  --signing-key <SIGNING_KEY>\n"
            "  --output <OUTPUT>\n\n"
            "Usage: kov sign [OPTIONS] --signing-key <SIGNING_KEY> --output <OUTPUT> <ARCHIVE>\n\n"
            "For more information, try '--help'.\n");
}

TEST(CliParse, NoArgumentsPrintsRootHelpOnStandardError) {
  ParseOutcome outcome = parse_line({}, Language::German);
  ASSERT_TRUE(std::holds_alternative<ParserExit>(outcome));
  const ParserExit& exit = std::get<ParserExit>(outcome);
  EXPECT_EQ(exit.status, 2);
  EXPECT_TRUE(exit.to_stderr);
  EXPECT_TRUE(exit.text.starts_with(
      "KOV-Archive erstellen, anzeigen, prüfen und entpacken\n\nAufruf: kov "));
}

}  // namespace
