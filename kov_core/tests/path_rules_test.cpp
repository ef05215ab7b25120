#include "kov_core/path_rules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using kov_core::path_rules::archive_component;

TEST(ArchiveComponent, RefusedComponents) {
  using namespace std::string_view_literals;
  const std::string_view refused[] = {
      ""sv,     "."sv,    ".."sv, "C:"sv,   "c:x"sv,  "Z:y"sv,        "a:"sv,
      "z:\\"sv, "a\\b"sv, "\\"sv, "a\\"sv,  "\\a"sv,  "a/b"sv,        "/"sv,
      "a/"sv,   "/a"sv,   "\0"sv, "a\0b"sv, "ab\0"sv, "C:file.txt"sv,
  };
  for (const std::string_view component : refused) {
    SCOPED_TRACE(std::string(component));
    EXPECT_FALSE(archive_component(component));
  }
}

TEST(ArchiveComponent, PortableComponents) {
  const std::string_view
      portable[] =
          {
              "C",        "1:x", ":x",  "ab:c",     "::",         "@:x",
              "[:x",      "`:x", "{:x", "...",      "....",       ".hidden",
              "..a",      "a.",  "a b", " ",        "\xC3\xA9",   "e\xCC\x81",
              "\x01\x1F", "\t",  "x1:", "file.txt", "\xC3\x89:x",  // a non-ASCII letter before ":"
                                                                   // is no drive prefix
          };
  for (const std::string_view component : portable) {
    SCOPED_TRACE(std::string(component));
    EXPECT_TRUE(archive_component(component));
  }
}

TEST(ArchiveComponent, EveryAsciiLetterDrivePrefix) {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const char lower = static_cast<char>(letter - 'A' + 'a');
    EXPECT_FALSE(archive_component(std::string{letter, ':'}));
    EXPECT_FALSE(archive_component(std::string{lower, ':', 'x'}));
    EXPECT_TRUE(archive_component(std::string{letter, letter, ':'}));
  }
  EXPECT_TRUE(archive_component(std::string{'0', ':'}));
}

}  // namespace
