#include "main/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8, ValidityAndLossyReplacement) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::string lossy;
  };
  const Case cases[] = {
      {"ascii", "photos/a.jpg", true, "photos/a.jpg"},
      {"accents", "r\xC3\xA9sum\xC3\xA9", true, "r\xC3\xA9sum\xC3\xA9"},
      {"emoji", "\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
      {"lone byte", "a\xFF" "b", false, "a" + r + "b"},
      {"cut three-byte", "\xE2\x82", false, r},
      {"cut four-byte", "\xF0\x9F\x98", false, r},
      {"overlong", "\xC0\xAF", false, r + r},
      {"surrogate", "\xED\xA0\x80", false, r + r + r},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, r + r + r + r},
      {"cut then ascii", "\xE2\x82x", false, r + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kov::is_valid_utf8(c.bytes), c.valid);
    EXPECT_EQ(kov::lossy_utf8(c.bytes), c.lossy);
  }
}

}  // namespace
