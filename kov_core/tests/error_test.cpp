#include "kov_core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using kov_core::Error;
using kov_core::ErrorKind;

TEST(Error, DisplayTextsByKind) {
  struct Case {
    Error error;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {Error::os(ENOENT), ErrorKind::Io, "I/O error: No such file or directory (os error 2)"},
      {Error::os(ENOMEM), ErrorKind::Io, "I/O error: Cannot allocate memory (os error 12)"},
      {Error::io("incomplete zstd frame"), ErrorKind::Io, "I/O error: incomplete zstd frame"},
      {Error::invalid_input("too many entries"), ErrorKind::InvalidInput,
       "invalid input: too many entries"},
      {Error::corrupt("truncated header"), ErrorKind::Corrupt, "corrupt archive: truncated header"},
      {Error::unsupported("format version 9.0.0"), ErrorKind::Unsupported,
       "unsupported feature: format version 9.0.0"},
      {Error::cancelled(), ErrorKind::Cancelled, "operation cancelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.display(), c.text);
  }
}

TEST(Error, KindNumbersAreStable) {
  EXPECT_EQ(static_cast<int>(ErrorKind::Io), 0);
  EXPECT_EQ(static_cast<int>(ErrorKind::InvalidInput), 1);
  EXPECT_EQ(static_cast<int>(ErrorKind::Corrupt), 2);
  EXPECT_EQ(static_cast<int>(ErrorKind::Unsupported), 3);
  EXPECT_EQ(static_cast<int>(ErrorKind::Cancelled), 4);
}

TEST(Error, UnknownErrorNumberStillRenders) {
  EXPECT_EQ(Error::os(9999).display(), "I/O error: Unknown error 9999 (os error 9999)");
}

}  // namespace
