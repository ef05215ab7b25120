#pragma once
// A chain of directories held by descriptors from a root down: the one walk
// that never follows a link below its root and climbs back only to the
// directories it met on the way down.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"

namespace kov_core::util {

// Open directories from a root down, each opened from the one above without
// following a link. Only the deepest `window` levels hold a descriptor, fewer
// once the descriptors have run out; going up to one that gave its own up
// opens it again through ".." from the level below, which must reach the
// same directory (device, inode) met on the way down. Any depth thus costs a
// few descriptors and each step one call. Move-only.
class DirectoryChain {
 public:
  static constexpr std::size_t MAX_OPEN = 32;

  // `access`: O_RDONLY for directories to be listed, O_PATH for those only
  // walked through (search permission is then enough). `window` is at least 1.
  explicit DirectoryChain(int access = O_RDONLY, std::size_t window = MAX_OPEN) noexcept
      : access_(access), window_(window < 1 ? 1 : window) {}
  // When the chain has no descriptor left to give, `relief` may free some
  // elsewhere (true) before an open is tried again.
  void set_relief(std::function<bool()> relief) { relief_ = std::move(relief); }

  // Starts again at `root`, an open directory.
  Result<void> reset(Fd root);
  // Closes every level; the window learnt so far is kept.
  void close() noexcept;
  // Runs `call`, an open that returns a descriptor or -1 with errno. When the
  // process is out of descriptors (EMFILE, ENFILE), the shallower half of the
  // levels that hold one give it up for good (never the deepest), or else the
  // relief frees some, and the call is tried again, until it works or nothing
  // is left to give.
  template <class Call>
  int with_relief(Call call) {
    for (;;) {
      const int fd = call();
      if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
      const int error = errno;
      if (!relieve() && !(relief_ && relief_())) {
        errno = error;
        return -1;
      }
    }
  }
  // The directory `name` of the deepest level becomes the deepest, opened
  // without following a link. A name holding NUL is InvalidInput "path
  // contains NUL"; other failures are the system's errno as Io.
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
    Fd fd;
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
  };
  Result<void> push(Fd fd, std::string name);
  bool relieve() noexcept;

  int access_;
  std::size_t window_;  // how many levels may hold one
  std::function<bool()> relief_;
  std::vector<Level> levels_;
  std::size_t first_open_ = 0;  // levels from here on hold their descriptor
};

}  // namespace kov_core::util
