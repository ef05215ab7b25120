#include "main/output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Points standard output at a pipe whose reader is gone.
void break_stdout() {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  ::close(fds[0]);
  ::dup2(fds[1], STDOUT_FILENO);
}

TEST(OutputDeathTest, FailedResultLineExitsWith101) {
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EXIT((break_stdout(), kov::write_stdout("created a.kov\n")),
              ::testing::ExitedWithCode(101),
              "^kov: failed printing to stdout: Broken pipe \\(os error 32\\)\n$");
}

TEST(Output, DisplayPathReplacesInvalidUtf8) {
  EXPECT_EQ(kov::display_path("photos/\xff.jpg"), "photos/\xEF\xBF\xBD.jpg");
}

}  // namespace
