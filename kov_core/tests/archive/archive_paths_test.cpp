#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "kov_core/archive.hpp"
#include "kov_core/utf8.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::string_view_literals;
using kov_core::ErrorKind;
using kov_core::archive::collision_key;
using kov_core::archive::CollisionRegistry;
using kov_core::archive::MAX_PATH_BYTES;
using kov_core::archive::portable_path;
using kov_core::archive::read_symlink_target;
using kov_core::archive::register_portable_path;
using kov_core::archive::validate_stored_path;
using kov_core::archive::validate_symlink_target;

constexpr std::string_view ESCAPES = "target escapes the archive root";
constexpr std::string_view ABSOLUTE = "absolute targets are forbidden";
constexpr std::string_view NON_PORTABLE = "empty, oversized, or non-portable target";

fs::path raw(std::string bytes) { return fs::path(std::move(bytes)); }

// ---- portable_path ----

TEST(PortablePath, AcceptedPaths) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"a", "a"},
      {"a/b/c", "a/b/c"},
      {"a//b", "a/b"},
      {"a/b/", "a/b"},
      {"a/b//", "a/b"},
      {"a/./b", "a/b"},
      {"a/b/.", "a/b"},
      {"a/./././/b/./", "a/b"},
      {"...", "..."},
      {".hidden", ".hidden"},
      {"a b", "a b"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"1:x", "1:x"},
      {":x", ":x"},
      {"ab:c", "ab:c"},
      {"C", "C"},
      {"dir/1:x/ab:c", "dir/1:x/ab:c"},
      {"a/.../..b/b..", "a/.../..b/b.."},
      {"ctl\x01/x", "ctl\x01/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const auto result = portable_path(raw(c.input));
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(*result, c.expected);
  }
}

TEST(PortablePath, RefusedPaths) {
  struct Case {
    std::string input;
    std::string display;
  };
  const Case cases[] = {
      {"", "invalid input: empty archive path"},
      {"/", "invalid input: path must be relative: /"},
      {"//", "invalid input: path must be relative: //"},
      {"/etc/passwd", "invalid input: path must be relative: /etc/passwd"},
      {".", "invalid input: path must be relative: ."},
      {"./", "invalid input: path must be relative: ./"},
      {"./x", "invalid input: path must be relative: ./x"},
      {"..", "invalid input: path must be relative: .."},
      {"../x", "invalid input: path must be relative: ../x"},
      {"a/../b", "invalid input: path must be relative: a/../b"},
      {"a/..", "invalid input: path must be relative: a/.."},
      {"C:", "invalid input: unsafe path: C:"},
      {"c:x", "invalid input: unsafe path: c:x"},
      {"Z:y", "invalid input: unsafe path: Z:y"},
      {"a/C:x", "invalid input: unsafe path: a/C:x"},
      {"a\\b", "invalid input: unsafe path: a\\b"},
      {"dir/a\\b/c", "invalid input: unsafe path: dir/a\\b/c"},
      {"a\0b"s, "invalid input: unsafe path: a\0b"s},
      {"dir/\xFF", "invalid input: path is not UTF-8: dir/\xEF\xBF\xBD"},
      {"\xC3/x", "invalid input: path is not UTF-8: \xEF\xBF\xBD/x"},
      // The first failing component decides.
      {"\xFF/../C:", "invalid input: path is not UTF-8: \xEF\xBF\xBD/../C:"},
      {"C:/\xFF", "invalid input: unsafe path: C:/\xEF\xBF\xBD"},
      {"x/../\xFF", "invalid input: path must be relative: x/../\xEF\xBF\xBD"},
      {"/\xFF", "invalid input: path must be relative: /\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    EXPECT_KOV_ERROR(portable_path(raw(c.input)), ErrorKind::InvalidInput, c.display);
  }
}

// ---- collision_key and the registry ----

// NFC by utf8proc_map, then the lower-case mapping: the reference the fast paths must match.
std::string reference_key_part(std::string_view part) {
  utf8proc_uint8_t* nfc = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(part.data()),
                   static_cast<utf8proc_ssize_t>(part.size()), &nfc,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  EXPECT_GE(length, 0);
  std::string out;
  utf8proc_ssize_t position = 0;
  while (position < length) {
    utf8proc_int32_t cp = 0;
    position += utf8proc_iterate(nfc + position, length - position, &cp);
    if (cp == 0x130) {
      out += "i\xCC\x87";
    } else {
      kov_core::util::append_utf8(out, static_cast<char32_t>(utf8proc_tolower(cp)));
    }
  }
  std::free(nfc);
  return out;
}

std::string encode(std::initializer_list<char32_t> code_points) {
  std::string out;
  for (const char32_t cp : code_points) kov_core::util::append_utf8(out, cp);
  return out;
}

TEST(CollisionKey, Examples) {
  struct Case {
    std::string path;
    std::string key;
  };
  const Case cases[] = {
      {"Notes", "notes"},
      {"NOTES", "notes"},
      {"Dir/Sub/FILE.TXT", "dir/sub/file.txt"},
      {"\xC3\xA9", "\xC3\xA9"},   // é precomposed
      {"e\xCC\x81", "\xC3\xA9"},  // e + combining acute
      {"E\xCC\x81", "\xC3\xA9"},  // E + combining acute -> É -> é
      {"\xC3\x89", "\xC3\xA9"},   // É
      {"\xC4\xB0", "i\xCC\x87"},  // U+0130 -> i U+0307
      {"i\xCC\x87", "i\xCC\x87"},
      {"\xE2\x84\xAB", "\xC3\xA5"},  // U+212B ANGSTROM SIGN
      {"A\xCC\x8A", "\xC3\xA5"},
      {"\xC3\x85", "\xC3\xA5"},
      {encode({0x3A3, 0x391, 0x3A3}), encode({0x3C3, 0x3B1, 0x3C3})},  // no final sigma
      {"\xC3\x9F", "\xC3\x9F"},          // ß stays (lower-casing, not case folding)
      {"\xEF\xAC\x81", "\xEF\xAC\x81"},  // U+FB01 ligature: NFC, not NFKC
      {"a/b", "a/b"},
      {"a_b", "a_b"},
      {"A/\xC3\x89/e\xCC\x81X", "a/\xC3\xA9/\xC3\xA9x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(collision_key(c.path), c.key);
  }
}

TEST(CollisionKey, CollisionsAndNonCollisions) {
  EXPECT_EQ(collision_key("Notes"), collision_key("NOTES"));
  EXPECT_EQ(collision_key("caf\xC3\xA9"), collision_key("cafe\xCC\x81"));
  EXPECT_EQ(collision_key("\xC4\xB0"), collision_key("i\xCC\x87"));
  EXPECT_NE(collision_key("a/b"), collision_key("a_b"));
  EXPECT_NE(collision_key("a/b"), collision_key("ab"));
  EXPECT_NE(collision_key("\xC4\xB0"), collision_key("i"));
}

TEST(CollisionKey, MatchesReferenceOnMixedText) {
  const std::string parts[] = {
      "",
      "plain",
      "MiXeD",
      "\xC3\x80\xC3\x81\xC4\x80\xC7\xBF",  // Latin-1 and Extended-A/B (fast path)
      "a\xCC\x81\xCC\xA3"
      "b",                                 // marks out of canonical order
      "\xE1\x84\x80\xE1\x85\xA1",          // Hangul L + V -> syllable
      "\xE0\xAD\x87\xE0\xAC\xBE",          // Oriya U+0B47 U+0B3E -> U+0B4B
      "\xCE\x86\xCD\x85",                  // Greek with ypogegrammeni
      "\xE1\xBA\x9E",                      // U+1E9E capital sharp s
      "\xC4\xB0\xCC\x81",                  // U+0130 + acute
      "\xF0\x90\x90\x80\xF0\x9F\x98\x80",  // Deseret capital, emoji
      "\xE2\x84\xA6\xE2\x84\xAA",          // Ohm, Kelvin (singletons)
      "\xCD\x80\xCD\x81",                  // U+0340, U+0341 (singletons)
  };
  for (const std::string& part : parts) {
    SCOPED_TRACE(part);
    EXPECT_EQ(collision_key(part), reference_key_part(part));
    EXPECT_EQ(collision_key("X/" + part + "/Y"), "x/" + reference_key_part(part) + "/y");
  }
}

// The fast path skips normalization for text made only of code points below
// U+0300; no pair of them changes under NFC.
TEST(CollisionKey, TextBelowU0300IsAlreadyNfc) {
  for (char32_t first = 0x20; first < 0x300; ++first) {
    const std::string single = encode({first});
    ASSERT_EQ(collision_key(single), reference_key_part(single)) << static_cast<unsigned>(first);
  }
  for (char32_t first = 0x41; first < 0x300; ++first) {
    for (char32_t second = 0x20; second < 0x300; ++second) {
      if (second == U'/') continue;
      const std::string pair = encode({first, second});
      ASSERT_EQ(collision_key(pair), reference_key_part(pair))
          << static_cast<unsigned>(first) << " " << static_cast<unsigned>(second);
    }
  }
}

TEST(RegisterPortablePath, SamePathTwiceIsAccepted) {
  CollisionRegistry registry;
  ASSERT_TRUE(register_portable_path(registry, "docs/readme").has_value());
  ASSERT_TRUE(register_portable_path(registry, "docs/readme").has_value());
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.at("docs/readme"), "docs/readme");
}

TEST(RegisterPortablePath, CollisionNamesTheRegisteredPathFirst) {
  CollisionRegistry registry;
  ASSERT_TRUE(register_portable_path(registry, "docs").has_value());
  EXPECT_KOV_ERROR(register_portable_path(registry, "Docs"), ErrorKind::InvalidInput,
                   "invalid input: portable path collision: docs and Docs");
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.at("docs"), "docs");
  // Still the first path after the refusal.
  EXPECT_KOV_ERROR(register_portable_path(registry, "DOCS"), ErrorKind::InvalidInput,
                   "invalid input: portable path collision: docs and DOCS");
}

TEST(RegisterPortablePath, NormalizationCollision) {
  CollisionRegistry registry;
  ASSERT_TRUE(register_portable_path(registry, "cafe\xCC\x81").has_value());
  ASSERT_TRUE(register_portable_path(registry, "a/b").has_value());
  ASSERT_TRUE(register_portable_path(registry, "a_b").has_value());
  EXPECT_KOV_ERROR(register_portable_path(registry, "CAF\xC3\x89"), ErrorKind::InvalidInput,
                   "invalid input: portable path collision: cafe\xCC\x81 and CAF\xC3\x89");
  EXPECT_EQ(registry.size(), 3u);
}

// ---- validate_stored_path ----

TEST(ValidateStoredPath, AcceptsCanonicalPaths) {
  const std::string accepted[] = {"a",        "a/b/c",         "...",       ".hidden", "a b",
                                  "\xC3\xA9", "1:x/:x/ab:c/C", "e\xCC\x81", "x/.../y"};
  for (const std::string& stored : accepted) {
    SCOPED_TRACE(stored);
    const auto result = validate_stored_path(stored);
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(result->native(), stored);
  }
}

TEST(ValidateStoredPath, RefusedPaths) {
  struct Case {
    std::string stored;
    std::string display;
  };
  const Case cases[] = {
      // Empty, too long, NUL or backslash: refused first, in quoted form.
      {"", "corrupt archive: unsafe path in index: \"\""},
      {"a\\b", "corrupt archive: unsafe path in index: \"a\\\\b\""},
      {"a\0b"s, "corrupt archive: unsafe path in index: \"a\\0b\""},
      {"/a\\b", "corrupt archive: unsafe path in index: \"/a\\\\b\""},
      {"\xCC\x81\\x", "corrupt archive: unsafe path in index: \"\\u{301}\\\\x\""},
      {"a\x01\\", "corrupt archive: unsafe path in index: \"a\\u{1}\\\\\""},
      {"it's \"q\"\t\r\n\\",
       "corrupt archive: unsafe path in index: \"it's \\\"q\\\"\\t\\r\\n\\\\\""},
      // Then absolute paths.
      {"/", "corrupt archive: absolute path in index: /"},
      {"/etc", "corrupt archive: absolute path in index: /etc"},
      {"//a", "corrupt archive: absolute path in index: //a"},
      // Then the components portable_path refuses, in plain form.
      {"./x", "corrupt archive: unsafe path in index: ./x"},
      {".", "corrupt archive: unsafe path in index: ."},
      {"..", "corrupt archive: unsafe path in index: .."},
      {"a/../b", "corrupt archive: unsafe path in index: a/../b"},
      {"a/C:x", "corrupt archive: unsafe path in index: a/C:x"},
      {"c:x", "corrupt archive: unsafe path in index: c:x"},
      {"a//..", "corrupt archive: unsafe path in index: a//.."},  // refusal before canonical form
      {"a/\xFF", "corrupt archive: unsafe path in index: a/\xEF\xBF\xBD"},
      // Last, safe paths that are not canonical.
      {"a//b", "corrupt archive: non-canonical path in index: a//b"},
      {"a/b/", "corrupt archive: non-canonical path in index: a/b/"},
      {"a/./b", "corrupt archive: non-canonical path in index: a/./b"},
      {"a/b/.", "corrupt archive: non-canonical path in index: a/b/."},
      {"a/", "corrupt archive: non-canonical path in index: a/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    EXPECT_KOV_ERROR(validate_stored_path(c.stored), ErrorKind::Corrupt, c.display);
  }
}

TEST(ValidateStoredPath, SameTextAsPortablePathInputs) {
  // Converted by portable_path, refused once stored.
  for (const std::string text : {"a//b", "a/b/", "a/./b"}) {
    ASSERT_TRUE(portable_path(raw(text)).has_value());
    EXPECT_FALSE(validate_stored_path(text).has_value());
  }
}

// Every short text over a small alphabet: validate_stored_path agrees with its
// definition in terms of portable_path.
TEST(ValidateStoredPath, AgreesWithPortablePathOnAllShortTexts) {
  const std::string alphabet = "a./C:";
  std::vector<std::string> texts{""};
  for (std::size_t length = 1; length <= 6; ++length) {
    std::vector<std::string> longer;
    for (const std::string& text : texts) {
      if (text.size() != length - 1) continue;
      for (const char c : alphabet) longer.push_back(text + c);
    }
    texts.insert(texts.end(), longer.begin(), longer.end());
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const auto result = validate_stored_path(text);
    if (text.empty()) {
      EXPECT_FALSE(result.has_value());
      continue;
    }
    if (text[0] == '/') {
      EXPECT_KOV_ERROR(result, ErrorKind::Corrupt,
                       "corrupt archive: absolute path in index: " + text);
      continue;
    }
    const auto converted = portable_path(raw(text));
    if (!converted) {
      EXPECT_KOV_ERROR(result, ErrorKind::Corrupt,
                       "corrupt archive: unsafe path in index: " + text);
    } else if (*converted != text) {
      EXPECT_KOV_ERROR(result, ErrorKind::Corrupt,
                       "corrupt archive: non-canonical path in index: " + text);
    } else {
      EXPECT_TRUE(result.has_value());
    }
  }
}

TEST(ValidateStoredPath, QuotedFormEscapes) {
  struct Case {
    std::string text;  // a backslash is appended: refused in quoted form
    std::string quoted;
  };
  const Case cases[] = {
      {"\xC2\xA0", "\\u{a0}"},                   // no-break space (Zs)
      {" ", " "},                                // space stays
      {"\x7F", "\\u{7f}"},                       // DEL (Cc)
      {"\xC2\x85", "\\u{85}"},                   // NEL (Cc)
      {"\xE2\x80\x8B", "\\u{200b}"},             // zero width space (Cf)
      {"\xE2\x80\x8D", "\\u{200d}"},             // ZWJ (Cf)
      {"\xE2\x80\xA8", "\\u{2028}"},             // line separator (Zl)
      {"\xE2\x80\xA9", "\\u{2029}"},             // paragraph separator (Zp)
      {"\xEE\x80\x80", "\\u{e000}"},             // private use (Co)
      {"\xCD\xB8", "\\u{378}"},                  // unassigned (Cn)
      {"\xF4\x8F\xBF\xBF", "\\u{10ffff}"},       // noncharacter (Cn)
      {"x\xCC\x81", "x\\u{301}"},                // combining acute (Mn, Grapheme_Extend)
      {"\xE0\xA6\xBE", "\\u{9be}"},              // U+09BE (Mc, Grapheme_Extend)
      {"\xE0\xA4\x83", "\xE0\xA4\x83"},          // U+0903 (Mc, not Grapheme_Extend)
      {"\xF0\x9F\x8F\xBB", "\xF0\x9F\x8F\xBB"},  // emoji modifier: printable, not Grapheme_Extend
      {"\xC3\xA9'", "\xC3\xA9'"},
      {"\x1B[0m", "\\u{1b}[0m"},
      {"\xFF", "\xEF\xBF\xBD"},  // invalid UTF-8 shown lossily
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_KOV_ERROR(validate_stored_path(c.text + "\\"), ErrorKind::Corrupt,
                     "corrupt archive: unsafe path in index: \"" + c.quoted + "\\\\\"");
  }
}

TEST(ValidateStoredPath, LengthLimit) {
  const std::string longest(MAX_PATH_BYTES, 'a');
  ASSERT_EQ(longest.size(), 1'048'576u);
  const auto accepted = validate_stored_path(longest);
  ASSERT_TRUE(accepted.has_value()) << accepted.error().display().substr(0, 80);
  EXPECT_EQ(accepted->native().size(), MAX_PATH_BYTES);

  const std::string too_long(MAX_PATH_BYTES + 1, 'a');
  EXPECT_KOV_ERROR(validate_stored_path(too_long), ErrorKind::Corrupt,
                   "corrupt archive: unsafe path in index: \"" + too_long + "\"");

  // Many components up to the limit.
  std::string components;
  while (components.size() + 2 <= MAX_PATH_BYTES) components += components.empty() ? "ab" : "/a";
  EXPECT_TRUE(validate_stored_path(components).has_value());
}

// ---- validate_symlink_target ----

TEST(ValidateSymlinkTarget, Table) {
  struct Case {
    std::string link;
    std::string target;
    std::optional<std::string_view> reason;
  };
  const Case cases[] = {
      {"link", "..", ESCAPES},
      {"link", "x/..", std::nullopt},
      {"link", "./x", std::nullopt},
      {"link", ".", std::nullopt},
      {"link", "x", std::nullopt},
      {"link", "x/../y", std::nullopt},
      {"link", "x/../..", ESCAPES},
      {"link", "../link", ESCAPES},  // leaves the root and comes back: refused
      {"link", "x//..//..", ESCAPES},
      {"link", "./../x", ESCAPES},
      {"a/b/link", "../../x", std::nullopt},
      {"a/b/link", "../..", std::nullopt},  // ends exactly at the archive root
      {"a/b/link", "../../../x", ESCAPES},
      {"a/b/link", "../x/../../y", std::nullopt},
      {"a/b/link", "./.././../x", std::nullopt},
      {"a/link", "../../x", ESCAPES},
      {"link", "/etc", ABSOLUTE},
      {"a/b/link", "/", ABSOLUTE},
      {"link", "//x", ABSOLUTE},
      {"link", "", NON_PORTABLE},
      {"link", "a\\b", NON_PORTABLE},
      {"link", "a\0b"s, NON_PORTABLE},
      {"link", "../\\", NON_PORTABLE},  // non-portable before escaping
      {"link", "C:x", std::nullopt},    // targets have no component rule
      {"link", "a/.../b", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link + " -> " + c.target);
    EXPECT_EQ(validate_symlink_target(c.link, c.target), c.reason);
  }
}

TEST(ValidateSymlinkTarget, LengthLimit) {
  const std::string longest(MAX_PATH_BYTES, 'x');
  EXPECT_EQ(validate_symlink_target("link", longest), std::nullopt);
  const std::string too_long(MAX_PATH_BYTES + 1, 'x');
  EXPECT_EQ(validate_symlink_target("link", too_long), NON_PORTABLE);
  std::string deep;
  while (deep.size() + 2 <= MAX_PATH_BYTES) deep += deep.empty() ? "d" : "/d";
  EXPECT_EQ(validate_symlink_target("link", deep), std::nullopt);
}

// ---- read_symlink_target ----

class ReadSymlinkTarget : public ::testing::Test {
 protected:
  fs::path link(const std::string& name, const std::string& target) {
    const fs::path path = dir_ / raw(name);
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << target;
    return path;
  }
  kov_test::TempDir dir_;
};

TEST_F(ReadSymlinkTarget, AcceptedTargets) {
  struct Case {
    std::string target;
    std::string archive_path;
  };
  const Case cases[] = {
      {"file.txt", "link"},
      {"../../x", "a/b/link"},
      {"sub/\xC3\xA9", "link"},
      {std::string(4000, 'n'), "link"},  // longer than the first buffer guess would be
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 40));
    const fs::path path = link("ok" + std::to_string(number++), c.target);
    const auto result = read_symlink_target(path, c.archive_path);
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(*result, c.target);
  }
}

TEST_F(ReadSymlinkTarget, RefusedTargets) {
  const fs::path escaping = link("escape", "../outside");
  EXPECT_KOV_ERROR(read_symlink_target(escaping, "escape"), ErrorKind::InvalidInput,
                   "invalid input: unsafe symbolic link " + escaping.native() +
                       ": target escapes the archive root");

  const fs::path absolute = link("abs", "/etc/passwd");
  EXPECT_KOV_ERROR(read_symlink_target(absolute, "dir/abs"), ErrorKind::InvalidInput,
                   "invalid input: unsafe symbolic link " + absolute.native() +
                       ": absolute targets are forbidden");

  const fs::path backslash = link("back", "a\\b");
  EXPECT_KOV_ERROR(read_symlink_target(backslash, "back"), ErrorKind::InvalidInput,
                   "invalid input: unsafe symbolic link " + backslash.native() +
                       ": empty, oversized, or non-portable target");

  const fs::path not_utf8 = link("bad", "x\xFF");
  EXPECT_KOV_ERROR(read_symlink_target(not_utf8, "bad"), ErrorKind::InvalidInput,
                   "invalid input: symbolic link target is not UTF-8: " + not_utf8.native());

  // The source path is shown lossily.
  const fs::path bad_name = link("n\xFF", "../x");
  EXPECT_KOV_ERROR(read_symlink_target(bad_name, "n"), ErrorKind::InvalidInput,
                   "invalid input: unsafe symbolic link " + dir_.path().native() +
                       "/n\xEF\xBF\xBD: target escapes the archive root");
  const fs::path bad_both = link("m\xFF", "\xFF");
  EXPECT_KOV_ERROR(read_symlink_target(bad_both, "m"), ErrorKind::InvalidInput,
                   "invalid input: symbolic link target is not UTF-8: " + dir_.path().native() +
                       "/m\xEF\xBF\xBD");
}

TEST_F(ReadSymlinkTarget, OperatingSystemErrors) {
  EXPECT_KOV_ERROR(read_symlink_target(dir_ / "missing", "missing"), ErrorKind::Io,
                   "I/O error: No such file or directory (os error 2)");
  const fs::path regular = dir_ / "regular";
  std::ofstream(regular) << "data";
  EXPECT_KOV_ERROR(read_symlink_target(regular, "regular"), ErrorKind::Io,
                   "I/O error: Invalid argument (os error 22)");
}

}  // namespace
