#pragma once
// The static help texts, one table per text with all five languages.

#include <array>
#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace kov::cli_help {

// Language indexes: 0 English, 1 French, 2 Spanish, 3 German, 4 Portuguese.
inline constexpr std::size_t LANGUAGE_COUNT = 5;

// One text in every language. The constructor takes exactly five texts, so a
// table with a missing translation does not compile.
class Localized {
 public:
  constexpr Localized(std::string_view en, std::string_view fr, std::string_view es,
                      std::string_view de, std::string_view pt)
      : texts_{en, fr, es, de, pt} {}
  // A language index outside 0..4 is a programming error and stops the process.
  [[nodiscard]] std::string_view operator[](std::size_t language) const {
    if (language >= LANGUAGE_COUNT) std::abort();
    return texts_[language];
  }

 private:
  std::array<std::string_view, LANGUAGE_COUNT> texts_;
};

struct NamedText {
  std::string_view name;
  Localized text;
};

extern const Localized ROOT_ABOUT;
// About texts of the localized subcommands, in the order they are applied.
extern const std::array<NamedText, 7> SUBCOMMAND_ABOUTS;
extern const Localized USAGE_WORD;
extern const Localized HEADING_COMMANDS;
extern const Localized HEADING_ARGUMENTS;
extern const Localized HEADING_OPTIONS;
extern const Localized HELP_FLAG;
extern const Localized VERSION_FLAG;
// Help texts of arguments by id; `output` depends on the command and is separate.
extern const std::array<NamedText, 12> ARGUMENT_HELPS;
extern const Localized OUTPUT_KEY_FILE_HELP;
extern const Localized OUTPUT_ARCHIVE_HELP;
// Shown after the help of the root and the localized subcommands; no final line feed.
extern const Localized EXAMPLES;
// Shown after the examples in the root help only; no final line feed.
extern const Localized SINGLE_PATH;

}  // namespace kov::cli_help
