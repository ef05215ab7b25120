#include "kov_core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using kov_core::util::char_count;
using kov_core::util::is_valid_utf8;
using kov_core::util::lossy_utf8;

TEST(Utf8, ValidityAndLossyReplacementOfEachMaximalInvalidSubpart) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::string lossy;
  };
  const Case cases[] = {
      {"empty", "", true, ""},
      {"ascii past the fast path", "plain ascii text, long enough for the fast path", true,
       "plain ascii text, long enough for the fast path"},
      {"accents", "r\xC3\xA9sum\xC3\xA9", true, "r\xC3\xA9sum\xC3\xA9"},
      {"every length up to U+10FFFF", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true,
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"lone byte",
       "a\xFF"
       "b",
       false, "a" + r + "b"},
      {"invalid after the fast path", "abcdefgh\xFFijkl", false, "abcdefgh" + r + "ijkl"},
      {"lone continuations", "\x80\x80", false, r + r},
      {"lead byte above F4", "\xF5\x80", false, r + r},
      {"cut two-byte", "\xC3", false, r},
      {"cut three-byte", "\xE2\x82", false, r},
      {"cut four-byte", "\xF0\x9F\x98", false, r},
      {"cut four-byte then ascii",
       "\xF0\x9F\x98"
       "a",
       false, r + "a"},
      {"cut then whole", "\xE2\x82\xE2\x82\xAC", false, r + "\xE2\x82\xAC"},
      {"overlong two-byte", "\xC0\xAF", false, r + r},
      {"overlong C1", "\xC1\xBF", false, r + r},
      {"overlong three-byte", "\xE0\x80\x80", false, r + r + r},
      {"E0 80 is never a start", "\xE0\x80", false, r + r},
      {"overlong four-byte", "\xF0\x80\x80\x80", false, r + r + r + r},
      {"surrogate", "\xED\xA0\x80", false, r + r + r},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, r + r + r + r},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    EXPECT_EQ(lossy_utf8(c.bytes), c.lossy);
  }
}

TEST(Utf8, CharCountCountsScalarValuesNotBytes) {
  EXPECT_EQ(char_count(""), 0u);
  EXPECT_EQ(char_count("Done"), 4u);
  EXPECT_EQ(char_count("Préparation"), 11u);
  EXPECT_EQ(char_count("calcul…"), 7u);
  EXPECT_EQ(char_count("\xF0\x9F\x98\x80"), 1u);
}

}  // namespace
