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

// An error must carry one of the listed display texts; an entry "x*" matches
// every text that starts with "x".
template <std::size_t N>
void check_error(const kov_core::Error& error, const char* const (&allowed)[N]) {
  const std::string text = error.display();
  for (std::string_view entry : allowed) {
    if (entry.ends_with('*') ? std::string_view(text).starts_with(entry.substr(0, entry.size() - 1))
                             : text == entry)
      return;
  }
  fail("unexpected error: " + text);
}

}  // namespace kov_fuzz
