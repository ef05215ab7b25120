#pragma once
// Shared checks of the fuzz harnesses: a failed property aborts, so both
// libFuzzer and the corpus replay report it.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kov_core/error.hpp"

namespace kov_fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "property violated: %s\n", what.c_str());
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The messages of decode_settings, which decode_index passes through.
inline constexpr const char* SETTINGS_ERRORS[] = {
    "corrupt archive: invalid KOV 0.4 settings record",
    "unsupported feature: compression profile *",
    "unsupported feature: encryption mode *",
    "corrupt archive: invalid KOV 0.4 compression settings",
    "corrupt archive: unexpected encryption parameters",
    "corrupt archive: invalid password derivation parameters",
    "corrupt archive: invalid key-file parameters",
    "corrupt archive: invalid encrypted archive settings",
};

// Whether a display text is in a list; an entry "x*" matches every text that
// starts with "x".
template <std::size_t N>
bool listed(std::string_view text, const char* const (&allowed)[N]) {
  for (std::string_view entry : allowed)
    if (entry.ends_with('*') ? text.starts_with(entry.substr(0, entry.size() - 1)) : text == entry) return true;
  return false;
}

// An error must carry one of the display texts of the given lists.
template <class... Lists>
void check_error(const kov_core::Error& error, const Lists&... lists) {
  const std::string text = error.display();
  if (!(listed(text, lists) || ...)) fail("unexpected error: " + text);
}

}  // namespace kov_fuzz
