#include "kov_core/path_rules.hpp"

namespace kov_core::path_rules {

bool archive_component(std::string_view component) noexcept {
  if (component.empty() || component == "." || component == "..") return false;
  if (component.size() >= 2 && component[1] == ':') {
    const char first = component[0];
    if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) return false;
  }
  for (const char c : component) {
    if (c == '\0' || c == '/' || c == '\\') return false;
  }
  return true;
}

}  // namespace kov_core::path_rules
