#include "cli_help/language.hpp"

#include <array>
#include <cstdlib>

#include "kov_core/utf8.hpp"

namespace kov::cli_help {

using kov_core::util::is_valid_utf8;

Language language_of(std::string_view text) {
  std::string code(text.substr(0, text.find_first_of("-._")));
  for (char& c : code)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  static constexpr std::array<std::string_view, 5> CODES{"en", "fr", "es", "de", "pt"};
  for (std::size_t i = 0; i < CODES.size(); ++i)
    if (code == CODES[i]) return LANGUAGES[i];
  return Language::English;
}

Language detect_language(std::span<const std::string> args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() >= 7 && arg.starts_with("--lang=") && is_valid_utf8(arg))
      return language_of(std::string_view(arg).substr(7));
    if (arg == "--lang") {
      if (i + 1 < args.size() && is_valid_utf8(args[i + 1])) return language_of(args[i + 1]);
      return Language::English;
    }
    if (arg == "--") break;
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0' && is_valid_utf8(value)) return language_of(value);
  }
  return Language::English;
}

}  // namespace kov::cli_help
