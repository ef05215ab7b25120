#include "cli_help/localize.hpp"

#include <gtest/gtest.h>

#include <string>

#include "cli_help/texts.hpp"
#include "main/cli.hpp"
#include "main/help_render.hpp"

namespace {

using namespace kov;
using namespace kov::cli_help;

std::string help_of(Language language, const std::string& command = "") {
  const CommandDef root = localized_command(Cli::command(), language);
  const CommandDef* target = command.empty() ? &root : root.find_subcommand(command);
  return render_help(root, *target, "kov");
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

const char* const ALL_COMMANDS[] = {"",        "public-key", "sign",   "verify-signature",
                                    "help",    "create",     "keygen", "list",
                                    "extract", "test",       "info"};

TEST(LocalizedHelp, EndsWithTheRightTextInEveryLanguage) {
  for (const Language language : LANGUAGES) {
    for (const char* command : ALL_COMMANDS) {
      SCOPED_TRACE(std::to_string(static_cast<int>(language)) + " " + command);
      const std::string help = help_of(language, command);
      const std::string name = command;
      const std::string examples(EXAMPLES[language]);
      if (name.empty()) {
        EXPECT_TRUE(
            help.ends_with("\n\n" + examples + "\n\n" + std::string(SINGLE_PATH[language]) + "\n"));
      } else if (name == "public-key" || name == "sign" || name == "verify-signature") {
        EXPECT_FALSE(contains(help, examples));
        EXPECT_TRUE(
            help.ends_with(std::string(ARGUMENT_HELPS[2].text[language]) + "\n"));  // --no-progress
      } else {
        EXPECT_TRUE(help.ends_with("\n\n" + examples + "\n"));
        EXPECT_FALSE(contains(help, SINGLE_PATH[language]));
      }
      std::size_t start = 0;
      for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_FALSE(end > start && help[end - 1] == ' ')
            << "trailing space: " << help.substr(start, end - start);
    }
  }
}

TEST(LocalizedHelp, FrenchCreate) {
  const std::string help = help_of(Language::French, "create");
  EXPECT_TRUE(help.starts_with(
      "Créer une archive ; chiffrement facultatif\n\n"
      "Utilisation : kov create [OPTIONS] <INPUTS>...\n\n"
      "Arguments:\n"
      "  <INPUTS>...  Fichiers/dossiers à archiver ; motifs du shell possibles, par exemple "
      "*.jpg\n\n"
      // --format-version has no entry: no text, the parser's own heading
      "Options:\n"
      "      --format-version <FORMAT_VERSION>  [default: 0.5.0] [possible values: 0.4.0, 0.5.0]\n"
      "  -o, --output <OUTPUT>                  Chemin de sortie ;"))
      << help;
  EXPECT_TRUE(contains(help, "\n  -h, --help                             Afficher l'aide\n"));
}

TEST(LocalizedHelp, SpanishKeepsTheParsersEnglishHeadingApart) {
  const std::string help = help_of(Language::Spanish, "create");
  EXPECT_TRUE(contains(help, "\n\nArgumentos:\n  <INPUTS>...  "));
  EXPECT_TRUE(
      contains(help, "\n\nOptions:\n      --format-version <FORMAT_VERSION>  [default: 0.5.0]"));
  EXPECT_TRUE(contains(help, "\n\nOpciones:\n  -o, --output <OUTPUT>  "));
}

TEST(LocalizedHelp, OutputTextDependsOnTheCommand) {
  for (const Language language : LANGUAGES) {
    for (const char* command : {"sign", "keygen", "public-key"})
      EXPECT_TRUE(contains(help_of(language, command), OUTPUT_KEY_FILE_HELP[language])) << command;
    EXPECT_TRUE(contains(help_of(language, "create"), OUTPUT_ARCHIVE_HELP[language]));
    EXPECT_FALSE(contains(help_of(language, "create"), OUTPUT_KEY_FILE_HELP[language]));
  }
}

TEST(LocalizedHelp, PossibleValuesHiddenOnlyForLangAndCommand) {
  const std::string root = help_of(Language::English);
  EXPECT_TRUE(contains(root, "\n      --lang <LANG>  Help language (default: system language)\n"));
  EXPECT_FALSE(contains(root, "possible values: en"));
  EXPECT_FALSE(contains(help_of(Language::English, "help"), "possible values"));
  EXPECT_TRUE(contains(help_of(Language::English, "help"), "\n  [COMMAND]  Command to explain\n"));
  EXPECT_TRUE(contains(help_of(Language::German, "extract"), "Zielverzeichnis [default: .]\n"));
}

TEST(LocalizedHelp, RootListsTheSubcommandsInDeclarationOrder) {
  const std::string help = help_of(Language::Portuguese);
  EXPECT_TRUE(contains(help,
                       "\nUso: kov [OPTIONS] <COMMAND>\n\nComandos:\n"
                       "  public-key        Export the public Ed25519 key"));
  std::size_t at = 0;
  for (const char* name : {"public-key ", "sign ", "verify-signature ", "help ", "create ",
                           "keygen ", "list ", "extract ", "test ", "info "}) {
    const std::size_t found = help.find(std::string("\n  ") + name, at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found + 1;
  }
  EXPECT_TRUE(contains(help, "\n  -V, --version      Mostrar versão\n"));
  EXPECT_FALSE(
      contains(help_of(Language::Portuguese, "list"), "--version"));  // only the root has a version
}

TEST(HelpTexts, EachExamplesTextEndsWithItsLanguageLine) {
  const char* const last_lines[] = {"Language: ", "Langue : ", "Idioma: ", "Sprache: ", "Idioma: "};
  const char* const prompts[] = {"[Y/n]", "[O/n]", "[Y/n]", "[Y/n]", "[Y/n]"};
  for (const Language language : LANGUAGES) {
    const std::string_view examples = EXAMPLES[language];
    EXPECT_TRUE(examples.substr(examples.rfind('\n') + 1)
                    .starts_with(last_lines[static_cast<std::size_t>(language)]));
    EXPECT_FALSE(examples.ends_with("\n"));
    EXPECT_TRUE(SINGLE_PATH[language].find(prompts[static_cast<std::size_t>(language)]) !=
                std::string_view::npos);
    EXPECT_FALSE(SINGLE_PATH[language].ends_with("\n"));
  }
}

}  // namespace
