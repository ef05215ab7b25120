// Process entry: make writes to a closed pipe fail instead of killing the
// process, give closed standard descriptors a harmless target, then run kov.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "main/driver.hpp"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
  kov::main(argc, argv);
}
