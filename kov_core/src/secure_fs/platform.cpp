// The Linux side of the safe extraction layer: descriptor-relative calls that
// never follow a symbolic link below the destination.

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>

#include "kov_core/utf8.hpp"
#include "secure_fs/secure_fs.hpp"
#include "util/directory_chain.hpp"
#include "util/flush_batch.hpp"
#include "util/flush_queue.hpp"
#include "util/io.hpp"
#include "util/random.hpp"
#include "util/sodium.hpp"
#include "util/test_hooks.hpp"

namespace kov_core::secure_fs::platform {

namespace {

constexpr std::string_view TEMP_PREFIX = ".kov-partial-";
constexpr int TEMP_ATTEMPTS = 32;
constexpr int RESOLVE_ATTEMPTS = 1000;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Directories are walked through and made in with O_PATH: a directory that
// may be searched and written but not read (a drop box) serves as well.
constexpr int PATH_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[nodiscard]] std::string shown(const std::filesystem::path& relative) {
  return util::lossy_utf8(relative.native());
}

// ".kov-partial-" and the 16 bytes as 32 lowercase hexadecimal digits.
[[nodiscard]] std::string temporary_name(std::span<const std::uint8_t, 16> bytes) {
  return std::string(TEMP_PREFIX) + util::hex(bytes);
}

// The destination without trailing "/" and "." components: the kernel
// follows a link named "dest/" or "dest/.", so the last real component must be
// the last one opened. "/" and "." stay as they are.
[[nodiscard]] std::string without_trailing_dots(std::string path) {
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.pop_back();
    } else if (path.size() > 2 && path.ends_with("/.")) {
      path.resize(path.size() - 2);
    } else {
      return path;
    }
  }
}

// mkdir of every component in turn, accepting those that exist.
Result<void> create_destination(const std::filesystem::path& destination) {
  struct stat status{};
  if (::stat(destination.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return {};
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : destination) {
    if (part.empty()) continue;  // a trailing "/"
    prefix /= part;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
      return std::unexpected(Error::os(errno));
  }
  return {};
}

// Each directory's name, NUL-terminated, for the system calls.
Result<std::vector<std::string>> c_names(const DirectoryTree& tree) {
  std::vector<std::string> names(tree.size() + 1);
  for (DirectoryTree::Node n = 1; n <= tree.size(); ++n) {
    auto name = c_name(tree.name(n));
    if (!name) return std::unexpected(std::move(name).error());
    names[n] = std::move(*name);
  }
  return names;
}

// Visits a tree's directories depth first below `root` on a chain of O_PATH
// descriptors that holds one directory at a time: each is opened from its
// parent without following a link and left through "..", so that nothing is
// walked again from the root and search permission is all it needs. A
// directory moved elsewhere meanwhile would lead ".." out of the root, so
// each step up must reach the parent met on the way down, or the walk fails
// with destination_changed(). `unopened(node, errno, dir, name)` decides
// about a directory that cannot be opened, `name` in `dir` (its subtree is
// skipped); `leave(node, fd)` gets each opened one, the root last, after its
// subtree. When the descriptors run out, `relieve()` may release some (true)
// before the open is tried again.
template <class Unopened, class Leave, class Relieve>
Result<void> visit(int root, const DirectoryTree& tree, Unopened unopened, Leave leave,
                   Relieve relieve) {
  std::vector<DirectoryTree::Node> first, children;
  tree.index_children(first, children);
  auto names = c_names(tree);
  if (!names) return std::unexpected(std::move(names).error());
  util::DirectoryChain chain(O_PATH, 1);
  std::optional<Error> relief_failed;
  chain.set_relief([&] {
    auto relieved = relieve();
    if (!relieved) relief_failed = std::move(relieved).error();
    return relieved && *relieved;
  });
  const int raw = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  if (raw < 0) return std::unexpected(Error::os(errno));
  KOV_TRY(chain.reset(util::Fd(raw)));
  struct Frame {
    DirectoryTree::Node node;
    DirectoryTree::Node next;  // position in `children`
  };
  std::vector<Frame> stack{{DirectoryTree::ROOT, first[DirectoryTree::ROOT]}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < first[top.node + 1]) {
      const DirectoryTree::Node child = children[top.next++];
      auto opened = chain.down((*names)[child]);
      if (relief_failed) return std::unexpected(std::move(*relief_failed));
      if (!opened) {
        KOV_TRY(unopened(child, opened.error().os_error(), chain.fd(), (*names)[child].c_str()));
        continue;
      }
      stack.push_back({child, first[child]});
      continue;
    }
    const DirectoryTree::Node node = top.node;
    stack.pop_back();
    KOV_TRY(leave(node, chain.fd()));
    if (stack.empty()) break;
    if (util::test_hooks::leaving_directory != nullptr)
      util::test_hooks::leaving_directory(tree.name(node));
    auto up = chain.up();
    if (relief_failed) return std::unexpected(std::move(*relief_failed));
    if (!up) return std::unexpected(std::move(up).error());
    if (!*up) return std::unexpected(destination_changed());
  }
  return {};
}

}  // namespace

// ---- free functions ----

std::expected<util::Fd, int> open_directory(int dirfd, const char* name, bool create) {
  int raw = ::openat(dirfd, name, PATH_FLAGS);
  if (raw >= 0) return util::Fd(raw);
  if (!create || errno != ENOENT) return std::unexpected(errno);
  // A directory made meanwhile by someone else is accepted.
  if (::mkdirat(dirfd, name, 0755) != 0 && errno != EEXIST) return std::unexpected(errno);
  raw = ::openat(dirfd, name, PATH_FLAGS);
  if (raw < 0) return std::unexpected(errno);
  return util::Fd(raw);
}

Result<std::string> c_name(std::string_view component) {
  if (component.find('\0') != std::string_view::npos) {
    return std::unexpected(Error::invalid_input("path contains NUL"));
  }
  return std::string(component);
}

Result<Placed> link_then_unlink(int dir, const char* from, const char* to) {
  // linkat never replaces: a node under `to` makes it fail with EEXIST.
  if (::linkat(dir, from, dir, to, 0) != 0) return std::unexpected(Error::os(errno));
  if (::unlinkat(dir, from, 0) != 0) return Placed{Placed::How::Linked, errno};
  return Placed{};
}

Result<Placed> move_no_replace(int dir, const char* from, const char* to) {
  if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return Placed{};
  // FAT, exFAT and some network file systems lack the flag (ENOSYS: a kernel
  // without the call); linkat serves those of them that have hard links.
  if (errno != EINVAL && errno != ENOSYS) return std::unexpected(Error::os(errno));
  return link_then_unlink(dir, from, to);
}

// ---- PendingFile ----

PendingFile::PendingFile(util::Fd file, util::Fd dir, std::string temp_name, std::string final_name,
                         bool overwrite) noexcept
    : file_(std::move(file)),
      dir_(std::move(dir)),
      temp_name_(std::move(temp_name)),
      final_name_(std::move(final_name)),
      overwrite_(overwrite) {}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : file_(std::move(other.file_)),
      dir_(std::move(other.dir_)),
      temp_name_(std::move(other.temp_name_)),
      final_name_(std::move(other.final_name_)),
      overwrite_(other.overwrite_),
      committed_(other.committed_),
      flushed_(other.flushed_) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    release();
    file_ = std::move(other.file_);
    dir_ = std::move(other.dir_);
    temp_name_ = std::move(other.temp_name_);
    final_name_ = std::move(other.final_name_);
    overwrite_ = other.overwrite_;
    committed_ = other.committed_;
    flushed_ = other.flushed_;
  }
  return *this;
}

PendingFile::~PendingFile() { release(); }

void PendingFile::release() noexcept {
  file_.reset();
  // A moved-from PendingFile has no directory and owns no name.
  if (!committed_ && dir_.valid()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
  dir_.reset();
}

Result<void> PendingFile::set_mode(std::uint32_t mode) {
  if (!file_.valid()) return {};
  // Only the permission bits: set-user-ID, set-group-ID and sticky are dropped.
  if (::fchmod(file_.get(), static_cast<mode_t>(mode & 0777)) != 0)
    return std::unexpected(Error::os(errno));
  return {};
}

Result<void> PendingFile::commit() && {
  // Whatever happens below, the temporary name is removed unless committed.
  PendingFile self(std::move(*this));
  util::Fd file = std::move(self.file_);
  if (file.valid()) {
    Result<void> flushed;
    if (!self.flushed_) flushed = util::fsync_all(file.get());
    file.reset();
    if (!flushed) return flushed;
  }
  const int dir = self.dir_.get();
  const char* temp = self.temp_name_.c_str();
  const char* final_name = self.final_name_.c_str();
  if (self.overwrite_) {
    struct stat status{};
    if (::fstatat(dir, final_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(status.st_mode)) {
        return std::unexpected(Error::invalid_input("overwrite target is not a regular file"));
      }
    } else if (errno != ENOENT) {
      return std::unexpected(Error::os(errno));
    }
    // One step: a regular file under the name is replaced, never written into.
    if (::renameat(dir, temp, dir, final_name) != 0) return std::unexpected(Error::os(errno));
  } else {
    auto placed = move_no_replace(dir, temp, final_name);
    if (!placed) return std::unexpected(std::move(placed).error());
    // The final name is made, but a failed unlink still fails the commit.
    if (placed->how == Placed::How::Linked) return std::unexpected(Error::os(placed->unlink_error));
  }
  self.committed_ = true;
  return {};
}

// ---- Root ----

Result<Root> Root::open(const std::filesystem::path& destination) {
  const std::string& native = destination.native();
  // Checked before anything is made: the system calls would stop at the NUL
  // and create a shorter path.
  if (native.find('\0') != std::string::npos) {
    return std::unexpected(Error::invalid_input("destination contains NUL"));
  }
  const std::filesystem::path last_real = without_trailing_dots(native);
  KOV_TRY(create_destination(last_real));
  // Links in earlier components are followed; a link as the last one is not.
  int raw = ::open(last_real.c_str(), DIRECTORY_FLAGS);
  // A destination that may be searched and written but not read.
  if (raw < 0 && errno == EACCES) raw = ::open(last_real.c_str(), PATH_FLAGS);
  if (raw < 0) return std::unexpected(Error::os(errno));
  return Root(util::Fd(raw));
}

namespace {

// The directory at `relative` below `root` in one system call that refuses
// every symbolic link and every way out of the root (openat2, Linux 5.6): the
// same outcome as the walk one component at a time, without a call per
// component. -1 when it cannot tell (the path is missing, or anything else);
// the walk then runs and gives its own answer.
int open_beneath(int root, const std::string& relative) noexcept {
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) return -1;
  open_how how{};
  how.flags = PATH_FLAGS;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM))
    unavailable.store(true, std::memory_order_relaxed);
  return fd < 0 ? -1 : static_cast<int>(fd);
}

}  // namespace

Result<util::Fd> Root::walk(const std::vector<std::string_view>& parts, std::size_t count,
                            bool create) {
  util::Fd current;
  const auto at = [&] { return current.valid() ? current.get() : fd_.get(); };
  // In pieces that openat2 takes in one call each (shorter than PATH_MAX), so
  // that a path of any depth costs a few calls; one component at a time only
  // within a piece that fails there.
  std::string piece;
  for (std::size_t i = 0; i < count;) {
    std::size_t end = i;
    piece.clear();
    while (end < count && piece.size() + parts[end].size() + 1 < PATH_MAX) {
      if (!piece.empty()) piece.push_back('/');
      piece.append(parts[end]);
      ++end;
    }
    if (end == i) {
      end = i + 1;  // a name too long for any call: its own error below
    } else if (piece.find('\0') == std::string::npos) {
      const int fast = open_beneath(at(), piece);
      if (fast >= 0) {
        current.reset(fast);
        i = end;
        continue;
      }
      // Most often all but the last name exist: a directory being made.
      if (end - i > 1) {
        piece.resize(piece.size() - parts[end - 1].size() - 1);
        const int most = open_beneath(at(), piece);
        if (most >= 0) {
          current.reset(most);
          i = end - 1;
        }
      }
    }
    for (; i < end; ++i) {
      auto name = c_name(parts[i]);
      if (!name) return std::unexpected(std::move(name).error());
      auto next = open_directory(at(), name->c_str(), create);
      if (!next) return std::unexpected(Error::os(next.error()));
      current = std::move(*next);  // closes the previous directory
    }
  }
  if (current.valid()) return current;
  const int raw = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (raw < 0) return std::unexpected(Error::os(errno));
  return util::Fd(raw);
}

Result<Root::Parent> Root::parent_of(const std::vector<std::string_view>& parts, bool create) {
  auto dir = walk(parts, parts.size() - 1, create);
  if (!dir) return std::unexpected(std::move(dir).error());
  auto name = c_name(parts.back());
  if (!name) return std::unexpected(std::move(name).error());
  return Parent{std::move(*dir), std::move(*name)};
}

Result<Root::Parent> Root::parent(const std::filesystem::path& relative, bool create) {
  auto parts = components(relative.native());
  if (!parts) return std::unexpected(std::move(parts).error());
  return parent_of(*parts, create);
}

Result<void> Root::ensure_directory(const std::filesystem::path& relative) {
  auto parts = components(relative.native());
  if (!parts) return std::unexpected(std::move(parts).error());
  auto dir = walk(*parts, parts->size(), true);
  if (!dir) return std::unexpected(std::move(dir).error());
  return {};
}

Result<PendingFile> Root::create_file(const std::filesystem::path& relative, bool overwrite) {
  auto parts = components(relative.native());
  if (!parts) return std::unexpected(std::move(parts).error());
  auto parent_dir = parent_of(*parts, true);
  if (!parent_dir) return std::unexpected(std::move(parent_dir).error());
  const int dir = parent_dir->dir.get();
  // Only advisory: the commit without overwrite never replaces, whatever
  // appears meanwhile.
  if (!overwrite && ::faccessat(dir, parent_dir->name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    return std::unexpected(
        Error::invalid_input("extraction target already exists: " + shown(relative)));
  }
  for (int attempt = 0; attempt < TEMP_ATTEMPTS; ++attempt) {
    // Random bytes are drawn from the system many names at a time.
    if (random_used_ == random_.size()) {
      KOV_TRY(util::random_bytes(random_));
      random_used_ = 0;
    }
    std::string temp = temporary_name(std::span(random_).subspan(random_used_).first<16>());
    random_used_ += 16;
    const int raw =
        ::openat(dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (raw >= 0) {
      return PendingFile(util::Fd(raw), std::move(parent_dir->dir), std::move(temp),
                         std::move(parent_dir->name), overwrite);
    }
    if (errno != EEXIST) return std::unexpected(Error::os(errno));
  }
  return std::unexpected(Error::io("could not allocate a temporary extraction file"));
}

Result<void> Root::create_symlink(const std::filesystem::path& relative, std::string_view target) {
  auto parts = components(relative.native());
  if (!parts) return std::unexpected(std::move(parts).error());
  auto parent_dir = parent_of(*parts, true);
  if (!parent_dir) return std::unexpected(std::move(parent_dir).error());
  if (target.find('\0') != std::string_view::npos) {
    return std::unexpected(Error::invalid_input("symbolic link target contains NUL"));
  }
  const std::string text(target);
  // symlinkat never replaces: any node under the name is EEXIST.
  if (::symlinkat(text.c_str(), parent_dir->dir.get(), parent_dir->name.c_str()) != 0) {
    return std::unexpected(Error::os(errno));
  }
  return {};
}

Result<util::Fd> Root::open_existing_file(const std::filesystem::path& relative) {
  auto parent_dir = parent(relative, false);
  if (!parent_dir) return std::unexpected(std::move(parent_dir).error());
  // O_NONBLOCK and O_NOCTTY: a FIFO or a device under the name must neither
  // block nor become the controlling terminal before it is refused.
  const int raw = ::openat(parent_dir->dir.get(), parent_dir->name.c_str(),
                           O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (raw < 0) return std::unexpected(Error::os(errno));
  util::Fd file(raw);
  struct stat status{};
  if (::fstat(file.get(), &status) != 0) return std::unexpected(Error::os(errno));
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(
        Error::invalid_input("extraction target is not a regular file: " + shown(relative)));
  }
  return file;
}

Result<bool> Root::resolves_beneath(const std::string& relative) {
  if (relative.find('\0') != std::string::npos)
    return std::unexpected(Error::invalid_input("path contains NUL"));
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  // EAGAIN: a rename somewhere in the system while ".." was resolved.
  const long fd = util::retry_transient(
      [&] { return ::syscall(SYS_openat2, fd_.get(), relative.c_str(), &how, sizeof how); },
      RESOLVE_ATTEMPTS);
  if (fd >= 0) {
    ::close(static_cast<int>(fd));
    return true;
  }
  switch (errno) {
    case EAGAIN:
    case EINTR:
      return std::unexpected(destination_changed());
    case EXDEV:
      return false;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case EACCES:
    case ENAMETOOLONG:
    case ENOSYS:
    case EPERM:
      return true;
    default:
      return std::unexpected(Error::os(errno));
  }
}

Result<void> Root::remove_symlink(const std::filesystem::path& relative) {
  auto parent_dir = parent(relative, false);
  if (!parent_dir) return std::unexpected(std::move(parent_dir).error());
  struct stat status{};
  const int dir = parent_dir->dir.get();
  if (::fstatat(dir, parent_dir->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(Error::os(errno));
  if (!S_ISLNK(status.st_mode)) return {};
  if (::unlinkat(dir, parent_dir->name.c_str(), 0) != 0) return std::unexpected(Error::os(errno));
  return util::sync_directory(dir, fd_.get());
}

Result<std::uint64_t> Root::missing_directories(const DirectoryTree& tree) {
  // Below a missing directory everything is missing: counted from the leaves up.
  std::vector<std::uint64_t> below(tree.size() + 1, 0);
  for (DirectoryTree::Node n = static_cast<DirectoryTree::Node>(tree.size()); n >= 1; --n) {
    below[n] += tree.is_entry(n) ? 0 : 1;
    below[tree.parent(n)] += below[n];
  }
  std::uint64_t missing = 0;
  const auto unopened = [&](DirectoryTree::Node node, int error, int, const char*) -> Result<void> {
    if (error == ENOENT) missing += below[node];
    return {};
  };
  const auto leave = [](DirectoryTree::Node, int) -> Result<void> { return {}; };
  const auto relieve = []() -> Result<bool> { return false; };
  KOV_TRY(visit(fd_.get(), tree, unopened, leave, relieve));
  return missing;
}

Result<void> Root::sync(const DirectoryTree& tree, util::FlushQueue& queue) {
  if (queue.in_flight() != 0) return std::unexpected(Error::io("flush queue is busy"));
  util::FlushBatch batch(queue, fd_.get());
  const auto skip = [&](DirectoryTree::Node, int error, int dir, const char* name) -> Result<void> {
    batch.unopened(error, dir, name);
    return {};
  };
  // The walk holds each directory O_PATH: the flush opens it for reading.
  const auto leave = [&](DirectoryTree::Node, int fd) { return batch.flush_at(fd, "."); };
  const auto relieve = [&] { return batch.relieve(); };
  // On a failure the batch still waits for the flushes it started.
  KOV_TRY(visit(fd_.get(), tree, skip, leave, relieve));
  // The names that lead to the destination, whoever made its ancestors and
  // whether or not anyone flushed them.
  KOV_TRY(batch.climb(fd_.get()));
  return batch.finish();
}

}  // namespace kov_core::secure_fs::platform
