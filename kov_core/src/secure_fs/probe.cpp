// Reading what the destination already holds, for the check of link targets:
// descriptor-relative calls that never follow a symbolic link.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "secure_fs/secure_fs.hpp"

namespace kov_core::secure_fs::platform {

Error destination_changed() { return Error::io("destination changed while it was read"); }

Result<Probed> probe(int dir, std::string_view name) {
  Probed found;
  // Such a name can be in no directory.
  if (name.find('\0') != std::string_view::npos) return found;
  const std::string c_name(name);
  struct stat status{};
  if (::fstatat(dir, c_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT || errno == ENAMETOOLONG) return found;
    return std::unexpected(Error::os(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    found.kind = Probed::Kind::Directory;
    found.device = status.st_dev;
    found.inode = status.st_ino;
    return found;
  }
  if (!S_ISLNK(status.st_mode)) {
    found.kind = Probed::Kind::Other;
    return found;
  }
  found.kind = Probed::Kind::Link;
  // The size is only a hint: the link may change between the calls.
  std::size_t capacity = status.st_size > 0 ? static_cast<std::size_t>(status.st_size) + 1 : 256;
  for (;;) {
    found.target.resize(capacity);
    const ssize_t length = ::readlinkat(dir, c_name.c_str(), found.target.data(), capacity);
    if (length < 0) return std::unexpected(Error::os(errno));
    if (static_cast<std::size_t>(length) < capacity) {
      found.target.resize(static_cast<std::size_t>(length));
      return found;
    }
    capacity *= 2;
  }
}

}  // namespace kov_core::secure_fs::platform
