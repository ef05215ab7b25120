#pragma once
// The languages of kov's texts and the table type of one text in all of them:
// help, the progress line and the shortcut's question share them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace kov {

enum class Language : std::uint8_t { English = 0, French, Spanish, German, Portuguese };

inline constexpr std::size_t LANGUAGE_COUNT = 5;
// Every language, in table order.
inline constexpr std::array<Language, LANGUAGE_COUNT> LANGUAGES{
    Language::English, Language::French, Language::Spanish, Language::German, Language::Portuguese};

// One text in every language. The constructor takes exactly five texts, so a
// table with a missing translation does not compile.
class Localized {
 public:
  constexpr Localized(std::string_view en, std::string_view fr, std::string_view es,
                      std::string_view de, std::string_view pt)
      : texts_{en, fr, es, de, pt} {}
  // A value outside the enumeration is a programming error and stops the process.
  [[nodiscard]] std::string_view operator[](Language language) const {
    const auto index = static_cast<std::size_t>(language);
    if (index >= LANGUAGE_COUNT) std::abort();
    return texts_[index];
  }

 private:
  std::array<std::string_view, LANGUAGE_COUNT> texts_;
};

}  // namespace kov
