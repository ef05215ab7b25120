// Format versions and the generation each belongs to.

#include "kov_core/format.hpp"

namespace kov_core::format {

std::string Version::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

Result<int> format_generation(Version version) {
  if (version == Version{1, 0, 0} || version == Version{0, 2, 0} || version == Version{0, 3, 0})
    return 0;
  if (version == VERSION_0_4_0) return 1;
  if (version == VERSION_0_5_0) return 2;
  return std::unexpected(Error::unsupported("format version " + version.text()));
}

}  // namespace kov_core::format
