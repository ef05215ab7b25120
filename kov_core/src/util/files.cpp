#include "util/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kov_core/fd.hpp"
#include "util/io.hpp"

namespace kov_core::util {

Result<void> create_new_file(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes) {
  // O_EXCL with O_NOFOLLOW refuses any existing name, a dangling link included,
  // so nothing is ever replaced or written through a link.
  const int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (raw < 0) return std::unexpected(Error::os(errno));
  Fd fd(raw);
  KOV_TRY(write_all(fd.get(), bytes));
  KOV_TRY(fsync_all(fd.get()));
  // Without this a power cut can lose the new name, and with a key file every
  // archive it encrypted.
  KOV_TRY(sync_parent_directory(path, fd.get()));
  // The data and the name are on disk: a failing close (even EINTR, after which
  // the descriptor is gone) can lose nothing more.
  (void)::close(fd.release());
  return {};
}

namespace {

// Opens `name` relative to `base` for reading and flushes it; `new_file` is
// the open file whose new name is to be made durable.
Result<void> flush_directory(int base, const char* name, int new_file) {
  const int raw = ::openat(base, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) {
    // A directory we may write but not read holds the new name all the same;
    // its durability must not turn a complete output into a failure.
    if (errno != EACCES) return std::unexpected(Error::os(errno));
    return sync_file_system(new_file);
  }
  const Fd dir(raw);
  auto flushed = fsync_all(dir.get());
  // Some file systems refuse to flush a directory on its own; the flush of
  // the whole file system holds the new name just as well.
  if (!flushed && flushed.error().os_error() == EINVAL) return sync_file_system(dir.get());
  return flushed;
}

}  // namespace

Result<void> sync_parent_directory(const std::filesystem::path& path, int new_file) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  return flush_directory(AT_FDCWD, parent.c_str(), new_file);
}

Result<void> sync_directory(int dir, int new_file) { return flush_directory(dir, ".", new_file); }

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
