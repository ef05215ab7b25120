#include "util/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/flush_batch.hpp"
#include "util/io.hpp"

namespace kov_core::util {

Result<ParentDirectory> open_parent_directory(const std::filesystem::path& path) {
  const std::string& text = path.native();
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '/') --end;
  std::string dir = ".";
  std::string name = text;
  if (end == 0 && !text.empty()) {
    // Slashes alone: the root, which holds itself as ".".
    dir = "/";
    name = ".";
  } else if (const std::size_t slash = end == 0 ? std::string::npos : text.rfind('/', end - 1);
             slash != std::string::npos) {
    dir = text.substr(0, slash + 1);
    name = text.substr(slash + 1);
  }
  Fd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(Error::os(errno));
  return ParentDirectory{std::move(fd), std::move(name)};
}

Result<void> create_new_file(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes) {
  auto place = open_parent_directory(path);
  if (!place) return std::unexpected(std::move(place).error());
  // O_EXCL with O_NOFOLLOW refuses any existing name, a dangling link included,
  // so nothing is ever replaced or written through a link.
  const int raw = ::openat(place->dir.get(), place->name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (raw < 0) return std::unexpected(Error::os(errno));
  Fd fd(raw);
  KOV_TRY(write_all(fd.get(), bytes));
  KOV_TRY(fsync_all(fd.get()));
  // Without this a power cut can lose the new name, and with a key file every
  // archive it encrypted.
  KOV_TRY(sync_directory_and_above(place->dir.get(), fd.get()));
  // The data and the name are on disk: a failing close (even EINTR, after which
  // the descriptor is gone) can lose nothing more.
  (void)::close(fd.release());
  return {};
}

Result<std::size_t> read_up_to(int fd, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    auto n = read_some(fd, out.subspan(done));
    if (!n) return std::unexpected(std::move(n).error());
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

}  // namespace kov_core::util
