#include "main/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kov_core/error.hpp"
#include "kov_core/utf8.hpp"

namespace kov {

namespace {

[[noreturn]] void print_failed(const char* stream, int error_number) {
  std::string line = std::string("kov: failed printing to ") + stream + ": " +
                     kov_core::error::os_error_text(error_number) + "\n";
  (void)write_all(STDERR_FILENO, line);
  std::_Exit(EXIT_PRINT_FAILED);
}

}  // namespace

int write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

void write_stdout(std::string_view text) {
  if (const int e = write_all(STDOUT_FILENO, text)) print_failed("stdout", e);
}

std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

void write_stderr(std::string_view text) {
  int e;
  {
    std::lock_guard lock(stderr_mutex());
    e = write_all(STDERR_FILENO, text);
  }
  if (e != 0) print_failed("stderr", e);
}

std::string display_path(const std::filesystem::path& path) { return kov_core::util::lossy_utf8(path.native()); }

}  // namespace kov
