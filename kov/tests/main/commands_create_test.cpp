#include "main/commands_create.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

using kov::default_output;

std::string cwd_name() {
  char buffer[4096];
  const std::string cwd = ::getcwd(buffer, sizeof buffer);
  return cwd.substr(cwd.rfind('/') + 1);
}

TEST(DefaultOutput, FinalComponentPlusKov) {
  struct Case {
    const char* input;
    std::string output;
  };
  const Case cases[] = {
      {"photos/2024", "2024.kov"}, {"report.tar", "report.tar.kov"}, {"/a/b/", "b.kov"},
      {"a/./b/.", "b.kov"},        {".", cwd_name() + ".kov"},       {"//x", "x.kov"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    auto out = default_output(c.input);
    ASSERT_TRUE(out) << out.error().display();
    EXPECT_EQ(out->native(), c.output);
  }
  for (const char* input : {"/", "a/..", "..", "///"}) {
    SCOPED_TRACE(input);
    auto out = default_output(input);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().display(),
              "invalid input: input has no file or directory name; specify --output");
  }
  auto empty = default_output("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().display(), "I/O error: cannot make an empty path absolute");
}

TEST(AbsoluteLexical, KeepsParentsAndTrailingSlash) {
  EXPECT_EQ(kov::absolute_lexical("/a//b/./../c/").value().native(), "/a/b/../c/");
  EXPECT_EQ(kov::absolute_lexical("//net/x").value().native(), "//net/x");
  char buffer[4096];
  EXPECT_EQ(kov::absolute_lexical("x/.").value().native(),
            std::string(::getcwd(buffer, sizeof buffer)) + "/x");
}

}  // namespace
