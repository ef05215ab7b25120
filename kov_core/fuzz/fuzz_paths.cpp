// The path rules on arbitrary text. The input is split at its first 0xFF byte
// into a link path and a target (a stored path must be UTF-8, so 0xFF never
// belongs to one).

#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/path_rules.hpp"

namespace {

const char* const PORTABLE_ERRORS[] = {
    "invalid input: path must be relative: *",
    "invalid input: path is not UTF-8: *",
    "invalid input: unsafe path: *",
    "invalid input: empty archive path",
};

const char* const STORED_ERRORS[] = {
    "corrupt archive: unsafe path in index: *",
    "corrupt archive: absolute path in index: *",
    "corrupt archive: non-canonical path in index: *",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\xFF');
  const std::string first = input.substr(0, split);
  const std::string second = split == std::string::npos ? std::string() : input.substr(split + 1);

  auto portable = kov_core::archive::portable_path(first);
  if (!portable) {
    kov_fuzz::check_error(portable.error(), PORTABLE_ERRORS);
  } else {
    // An archive path is canonical: converting it again changes nothing.
    auto again = kov_core::archive::portable_path(*portable);
    kov_fuzz::check(again && *again == *portable, "portable path is not canonical");
    std::size_t start = 0;
    for (std::size_t slash; (slash = portable->find('/', start)) != std::string::npos;
         start = slash + 1)
      kov_fuzz::check(
          kov_core::path_rules::archive_component(portable->substr(start, slash - start)),
          "component of an archive path is not portable");
  }

  auto stored = kov_core::archive::validate_stored_path(first);
  if (!stored) {
    kov_fuzz::check_error(stored.error(), STORED_ERRORS);
  } else {
    kov_fuzz::check(portable && *portable == first, "a valid stored path is its own portable path");
    const std::string key = kov_core::archive::collision_key(first);
    kov_fuzz::check(!key.empty(), "empty collision key");
    kov_fuzz::check(kov_core::archive::collision_key(first) == key,
                    "collision key is not a function");
    if (auto reason = kov_core::archive::validate_symlink_target(first, second)) {
      kov_fuzz::check(*reason == "empty, oversized, or non-portable target" ||
                          *reason == "absolute targets are forbidden" ||
                          *reason == "target escapes the archive root",
                      "unexpected link target reason");
    }
  }
  return 0;
}
