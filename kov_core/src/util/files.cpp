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
  const int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (raw < 0) return std::unexpected(Error::os(errno));
  Fd fd(raw);
  KOV_TRY(write_all_and_sync(fd.get(), bytes));
  // Without this a power cut can lose the new name, and with a key file every
  // archive it encrypted.
  KOV_TRY(sync_parent_directory(path, fd.get()));
  // The data and the name are on disk: a failing close (even EINTR, after which
  // the descriptor is gone) can lose nothing more.
  (void)::close(fd.release());
  return {};
}

Result<void> sync_parent_directory(const std::filesystem::path& path, int new_file) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  const int raw = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) {
    // A directory we may write but not read holds the new name all the same;
    // its durability must not turn a complete output into a failure.
    if (errno != EACCES) return std::unexpected(Error::os(errno));
    if (::syncfs(new_file) != 0) return std::unexpected(Error::os(errno));
    return {};
  }
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
