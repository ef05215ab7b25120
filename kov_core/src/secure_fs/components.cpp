// Splitting of relative paths; independent of the platform.

#include <string>

#include "kov_core/utf8.hpp"
#include "secure_fs/secure_fs.hpp"

namespace kov_core::secure_fs {

Result<std::vector<std::string_view>> components(std::string_view relative) {
  std::vector<std::string_view> parts;
  Components walk(relative);
  Component component{};
  while (walk.next(component)) {
    if (component.kind != ComponentKind::Normal) {
      return std::unexpected(
          Error::invalid_input("unsafe extraction path: " + util::lossy_utf8(relative)));
    }
    parts.push_back(component.text);
  }
  if (parts.empty()) return std::unexpected(Error::invalid_input("empty extraction path"));
  return parts;
}

}  // namespace kov_core::secure_fs
