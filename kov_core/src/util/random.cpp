#include "util/random.hpp"

#include "util/files.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "kov_core/fd.hpp"

namespace kov_core::util {

namespace {

// For kernels older than getrandom(2).
Result<void> read_random_device(std::span<std::uint8_t> out) {
  const int raw = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (raw < 0) return std::unexpected(Error::os(errno));
  const Fd fd(raw);
  auto n = read_up_to(fd.get(), out);
  if (!n) return std::unexpected(std::move(n).error());
  if (*n < out.size()) return std::unexpected(Error::io("random device returned no data"));
  return {};
}

}  // namespace

Result<void> random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    // Large requests may be served in parts; each part is kept.
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return read_random_device(out.subspan(done));
      return std::unexpected(Error::os(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace kov_core::util
