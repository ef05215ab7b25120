#include "cli_base/write.hpp"

#include <unistd.h>

#include <cerrno>

namespace kov {

std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

int write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that makes no progress would be retried forever.
    if (n == 0) return EIO;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::expected<std::size_t, int> read_some(int fd, std::span<std::byte> out) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd, out.data(), out.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace kov
