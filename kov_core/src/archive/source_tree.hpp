#pragma once
// The inputs of creation as a tree of descriptors: every directory below an
// input is opened from the one above it and no link below the input is ever
// followed, so a directory swapped for a link while kov works cannot lead it
// elsewhere, and no path grows with the depth. Private to the archive sources.

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"

namespace kov_core::archive {

// InvalidInput "source changed or is not a regular file: {}".
[[nodiscard]] Error source_changed(std::string_view source);

// Open directories from a root down. Only the deepest MAX_OPEN levels hold a
// descriptor, fewer once the descriptors have run out; going up to one that
// gave its own up opens it again through ".." from the level below, which
// must reach the same directory (device, inode). Any depth thus costs a few
// descriptors and each step one call.
class DirectoryChain {
 public:
  static constexpr std::size_t MAX_OPEN = 32;

  // Starts again at `root`, an open directory.
  Result<void> reset(util::Fd root);
  // Closes every level; the window learnt so far is kept.
  void close() noexcept;
  // Runs `call`, an open that returns a descriptor or -1 with errno. When the
  // process is out of descriptors (EMFILE, ENFILE), the shallower half of the
  // levels that hold one give it up for good (never the deepest), and the
  // call is tried again, until it works or no level is left to give.
  template <class Call>
  int with_relief(Call call) {
    for (;;) {
      const int fd = call();
      if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
      const int error = errno;
      if (!relieve()) {
        errno = error;
        return -1;
      }
    }
  }
  // The directory `name` of the deepest level becomes the deepest, opened
  // without following a link. Failures are the system's errno as Io.
  Result<void> down(std::string_view name);
  // The level above the deepest becomes the deepest. False: ".." did not lead
  // to the directory met on the way down (it was moved meanwhile).
  Result<bool> up();

  [[nodiscard]] bool empty() const noexcept { return levels_.empty(); }
  [[nodiscard]] int fd() const noexcept { return levels_.back().fd.get(); }
  // Levels below the root, and the name of level 1..depth().
  [[nodiscard]] std::size_t depth() const noexcept { return levels_.size() - 1; }
  [[nodiscard]] const std::string& name(std::size_t level) const { return levels_[level].name; }
  [[nodiscard]] dev_t device() const noexcept { return levels_.back().device; }
  [[nodiscard]] ino_t inode() const noexcept { return levels_.back().inode; }

 private:
  struct Level {
    util::Fd fd;
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
  };
  Result<void> push(util::Fd fd, std::string name);
  bool relieve() noexcept;

  std::vector<Level> levels_;
  std::size_t first_open_ = 0;     // levels from here on hold their descriptor
  std::size_t window_ = MAX_OPEN;  // how many levels may hold one
};

// Finds the sources of a creation again for the writer, in index order: one
// that creation's walk found below an input is reached from that input one
// directory at a time, never through a link, and must be the file the walk
// saw (device and inode), or the result is source_changed().
class SourceOpener {
 public:
  struct OpenFile {
    util::Fd fd;
    struct stat status;
  };
  // The regular file, read-only and non-blocking, and its status; a link is Io.
  Result<OpenFile> open_file(const WalkedSource& source);
  // The status of a directory or a link, not followed.
  Result<struct stat> status(const WalkedSource& source);

 private:
  struct Place {
    int dir;
    const char* name;
  };
  Result<Place> place(const WalkedSource& source);
  Result<void> check(const WalkedSource& source, const struct stat& st) const;

  std::string root_;  // the input the chain starts at, as named
  DirectoryChain chain_;
  // The input directories met so far, as the walk saw them (device, inode).
  std::unordered_map<std::string, std::pair<dev_t, ino_t>> roots_;
};

}  // namespace kov_core::archive
