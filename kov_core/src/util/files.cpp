#include "util/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/fd.hpp"

namespace kov_core::util {

namespace {

[[nodiscard]] Result<void> write_all_and_sync(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) return std::unexpected(Error::io("failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(Error::os(errno));
  }
  return {};
}

}  // namespace

Result<void> create_new_file(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes) {
  // O_EXCL with O_NOFOLLOW refuses any existing name, a dangling link included,
  // so nothing is ever replaced or written through a link.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return std::unexpected(Error::os(errno));
  auto written = write_all_and_sync(fd, bytes);
  const int close_rc = ::close(fd);
  const int close_errno = errno;
  if (!written) return written;
  // The descriptor is gone even on EINTR, and the data is already on disk.
  if (close_rc != 0 && close_errno != EINTR) return std::unexpected(Error::os(close_errno));
  // Without this a power cut can lose the new name, and with a key file every
  // archive it encrypted.
  return sync_parent_directory(path);
}

Result<void> sync_parent_directory(const std::filesystem::path& path) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  const int raw = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return std::unexpected(Error::os(errno));
  const Fd dir(raw);
  while (::fsync(dir.get()) != 0) {
    if (errno != EINTR) return std::unexpected(Error::os(errno));
  }
  return {};
}

Result<std::size_t> read_up_to(int fd, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace kov_core::util
