#include "cli_help/language.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kov::Language;
using kov::cli_help::detect_language;
using kov::cli_help::language_of;

TEST(LanguageOf, TakesThePartBeforeTheFirstSeparator) {
  struct Case {
    const char* text;
    Language language;
  };
  constexpr Language E = Language::English, F = Language::French, S = Language::Spanish,
                     G = Language::German, P = Language::Portuguese;
  const Case cases[] = {
      {"fr_FR.UTF-8", F}, {"pt-BR", P}, {"DE", G},      {"de_CH", G}, {"es", S},
      {"en_US", E},       {"POSIX", E}, {"C.UTF-8", E}, {"", E},      {"french", E},
      {"-fr", E},         {"fr.", F},   {"Fr", F},      {"fra", E},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(language_of(c.text), c.language);
  }
}

class DetectLanguage : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) ::unsetenv(name);
  }
  // The language's position in table order.
  static std::size_t detect(std::vector<std::string> args) {
    args.insert(args.begin(), "kov");
    return static_cast<std::size_t>(detect_language(args));
  }
};

TEST_F(DetectLanguage, ArgumentForms) {
  ::setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(detect({"--lang", "es", "create", "--help"}), 2u);
  EXPECT_EQ(detect({"create", "--help", "--lang=es"}), 2u);
  EXPECT_EQ(detect({"--lang=pt", "--lang", "fr"}), 4u);  // the first one wins
  // A bare --lang at the end, or --lang= with nothing, gives English without the environment.
  EXPECT_EQ(detect({"help", "--lang"}), 0u);
  EXPECT_EQ(detect({"help", "--lang="}), 0u);
  EXPECT_EQ(detect({"--lang", "\xff"}), 0u);
  // The value is not validated here: the parser refuses it later.
  EXPECT_EQ(detect({"--lang", "fr_FR", "create"}), 1u);
  // Nothing after "--" is looked at; the environment decides.
  EXPECT_EQ(detect({"create", "--", "--lang", "fr"}), 3u);
  // Option values are not known here: "-o --lang" still counts.
  EXPECT_EQ(detect({"create", "-o", "--lang=fr"}), 1u);
}

TEST_F(DetectLanguage, EnvironmentOrder) {
  ::setenv("LC_ALL", "POSIX", 1);
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(detect({"list"}), 0u);  // the first non-empty variable decides
  ::setenv("LC_ALL", "", 1);
  ::setenv("LC_MESSAGES", "de_DE", 1);
  EXPECT_EQ(detect({"list"}), 3u);
  ::unsetenv("LC_MESSAGES");
  EXPECT_EQ(detect({"list"}), 1u);
  ::setenv("LC_MESSAGES", "\xff\xfe", 1);  // not valid Unicode: skipped
  EXPECT_EQ(detect({"list"}), 1u);
  clear();
  EXPECT_EQ(detect({"list"}), 0u);
}

}  // namespace
