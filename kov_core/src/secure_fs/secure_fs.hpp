#pragma once
// The only way extraction touches the destination tree. Everything is
// resolved from one descriptor of the destination, one component at a time,
// never following a symbolic link; files are written under a temporary name
// and get their final name only by an explicit commit.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"

namespace kov_core::util {
class FlushQueue;
}

namespace kov_core::secure_fs {

enum class ComponentKind { Root, CurDir, Parent, Normal };

struct Component {
  ComponentKind kind;
  std::string_view text;  // borrowed from the path
};

// Splits a path by the Linux rules: a leading "/" gives a root component,
// empty parts are dropped, "." is kept only as the very first part, ".." is a
// parent.
class Components {
 public:
  explicit Components(std::string_view path) noexcept : path_(path) {}

  [[nodiscard]] bool next(Component& out) noexcept;

 private:
  std::string_view path_;
  std::size_t position_ = 0;
  bool first_ = true;
};

inline bool Components::next(Component& out) noexcept {
  if (first_) {
    first_ = false;
    if (!path_.empty() && path_[0] == '/') {
      position_ = 1;
      out = {ComponentKind::Root, path_.substr(0, 1)};
      return true;
    }
    if (path_ == "." || path_.starts_with("./")) {
      position_ = path_.size() > 1 ? 2 : 1;
      out = {ComponentKind::CurDir, path_.substr(0, 1)};
      return true;
    }
  }
  while (position_ < path_.size()) {
    const std::size_t slash = path_.find('/', position_);
    const std::size_t end = slash == std::string_view::npos ? path_.size() : slash;
    const std::string_view part = path_.substr(position_, end - position_);
    position_ = slash == std::string_view::npos ? path_.size() : slash + 1;
    if (part.empty() || part == ".") continue;
    out = {part == ".." ? ComponentKind::Parent : ComponentKind::Normal, part};
    return true;
  }
  return false;
}

// The ordinary components of a relative path, borrowed from it. A root, a
// leading "." or any ".." is InvalidInput "unsafe extraction path: {}"; a
// path without components is InvalidInput "empty extraction path".
Result<std::vector<std::string_view>> components(std::string_view relative);

// A name's place in a tree of path components: its parent node and its name.
struct ChildKey {
  std::uint32_t parent;
  std::string_view name;
  bool operator==(const ChildKey&) const = default;
};
struct ChildKeyHash {
  std::size_t operator()(const ChildKey& key) const noexcept;
};

// The directories below the root that hold the entries of one extraction,
// each once: a tree of components, so that memory and work grow with the
// paths' length, not with its square. Names are borrowed from the paths
// added, which must outlive the tree.
class DirectoryTree {
 public:
  using Node = std::uint32_t;
  static constexpr Node ROOT = 0;

  // At most `max_directories`, so that a crafted index cannot make the tree
  // outgrow the memory.
  explicit DirectoryTree(std::size_t max_directories = SIZE_MAX);

  // Adds the directories above a relative path (all its components but the
  // last); a directory entry's own path is added too, marked as an entry.
  // The path's errors are those of components(); one directory too many is
  // InvalidInput "not enough memory to extract more than {} directories".
  Result<void> add(std::string_view relative, bool is_directory);

  // Directories in the tree, the root not included; nodes are numbered from
  // the root (0) to size(), each after its parent.
  [[nodiscard]] std::size_t size() const noexcept { return nodes_.size() - 1; }
  [[nodiscard]] Node parent(Node node) const noexcept { return nodes_[node].parent; }
  [[nodiscard]] std::string_view name(Node node) const noexcept { return nodes_[node].name; }
  [[nodiscard]] bool is_entry(Node node) const noexcept { return nodes_[node].entry; }
  // Each node's children, contiguous: children[first[n] .. first[n + 1]).
  void index_children(std::vector<Node>& first, std::vector<Node>& children) const;

 private:
  struct Entry {
    Node parent;
    bool entry;  // a directory entry of the archive, counted as one already
    std::string_view name;
  };

  [[nodiscard]] Node child(Node parent, std::string_view name);

  std::size_t max_directories_;
  std::vector<Entry> nodes_;
  std::unordered_map<ChildKey, Node, ChildKeyHash> lookup_;
};

namespace platform {

// A regular file being extracted under a temporary name. Released without a
// successful commit, it removes that name. It must not outlive its Root.
class PendingFile {
 public:
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // The open temporary file, read-write, for the content.
  [[nodiscard]] int fd() const noexcept { return file_.get(); }
  // fchmod with the nine permission bits of `mode`; a failure is Io.
  Result<void> set_mode(std::uint32_t mode);
  // Tells that the caller has completed a successful fsync of fd() after its
  // last write and set_mode, so that commit does not flush it again.
  void mark_flushed() noexcept { flushed_ = true; }
  // Flushes the file (unless marked flushed), closes it and gives it its
  // final name: with overwrite it replaces a regular file (anything else is
  // InvalidInput "overwrite target is not a regular file"), without it never
  // replaces anything (a name that appeared meanwhile is Io EEXIST). System
  // failures are Io.
  Result<void> commit() &&;

 private:
  friend class Root;
  PendingFile(util::Fd file, util::Fd dir, std::string temp_name, std::string final_name,
              bool overwrite) noexcept;
  void release() noexcept;

  util::Fd file_;
  util::Fd dir_;
  std::string temp_name_;
  std::string final_name_;
  bool overwrite_ = false;
  bool committed_ = false;
  bool flushed_ = false;
};

// The open destination directory. Move-only; every operation walks again
// from its descriptor.
class Root {
 public:
  // The directory that holds the last component of a relative path, and that
  // component as a name.
  struct Parent {
    util::Fd dir;
    std::string name;
  };

  // Creates the destination and its missing ancestors (mode 0777 less the
  // umask), then opens it without following its last component, however it
  // is spelled ("dest", "dest/", "dest/."). A NUL is InvalidInput
  // "destination contains NUL"; system failures are Io.
  static Result<Root> open(const std::filesystem::path& destination);

  Root(Root&&) noexcept = default;
  Root& operator=(Root&&) noexcept = default;
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  ~Root() = default;

  // Every component a directory, made with 0755 where missing; existing ones
  // keep their mode.
  Result<void> ensure_directory(const std::filesystem::path& relative);
  // A temporary file beside the target. Without overwrite an existing name is
  // InvalidInput "extraction target already exists: {}".
  Result<PendingFile> create_file(const std::filesystem::path& relative, bool overwrite);
  // A symbolic link holding `target` exactly; it never replaces anything.
  Result<void> create_symlink(const std::filesystem::path& relative, std::string_view target);
  // An existing regular file, read-write, owned by the caller; anything else is
  // InvalidInput "extraction target is not a regular file: {}" or Io.
  Result<util::Fd> open_existing_file(const std::filesystem::path& relative);
  // Whether the kernel, following every link, resolves `relative` without
  // leaving the root (openat2 with RESOLVE_BENEATH). A dangling link, a loop
  // and a path it cannot look into count as inside; so does every path where
  // openat2 is missing or the path is too long for one call.
  Result<bool> resolves_beneath(const std::string& relative);
  // Removes the symbolic link at `relative`; anything else there stays.
  Result<void> remove_symlink(const std::filesystem::path& relative);

  // The walk to the directory that holds the last component, making missing
  // directories when `create`. Used by the operations above.
  Result<Parent> parent(const std::filesystem::path& relative, bool create);

  // The directories of `tree` that do not exist yet and are not entries
  // themselves: what the extraction will make besides its entries. A
  // directory that cannot be looked into counts as present.
  Result<std::uint64_t> missing_directories(const DirectoryTree& tree);

  // Flushes every directory of `tree`, the root, and each directory above the
  // root up to the root of its file system, each once, through `queue`,
  // which must have nothing in flight; all flushes are complete when it
  // returns. Whoever made those directories, the names in them then survive
  // a power cut. A directory that may not be read, or that its file system
  // refuses to flush alone (EINVAL), is made durable by flushing the whole
  // file system. Failures are Io.
  Result<void> sync(const DirectoryTree& tree, util::FlushQueue& queue);
  // The destination's descriptor, for status queries of its file system.
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

 private:
  explicit Root(util::Fd fd) noexcept : fd_(std::move(fd)) {}
  Result<Parent> parent_of(const std::vector<std::string_view>& parts, bool create);
  Result<util::Fd> walk(const std::vector<std::string_view>& parts, std::size_t count, bool create);

  util::Fd fd_;
  // Random bytes for temporary names, drawn 256 names at a time.
  std::array<std::uint8_t, 4096> random_{};
  std::size_t random_used_ = random_.size();
};

// openat of a directory without following a link; when `create` and missing,
// mkdirat with 0755 first. Returns the descriptor or the errno.
[[nodiscard]] std::expected<util::Fd, int> open_directory(int dirfd, const char* name, bool create);

// The component as a NUL-terminated name; a NUL inside is InvalidInput
// "path contains NUL".
Result<std::string> c_name(std::string_view component);

// Where a move without replacing left the file, once `to` names it.
struct Placed {
  enum class How : std::uint8_t {
    Moved,   // `from` is gone
    Linked,  // `from` still names the file too: its unlink failed
  };
  How how = How::Moved;
  int unlink_error = 0;  // with Linked, the unlink's errno
};

// The move of a commit without overwrite: renameat2 with RENAME_NOREPLACE,
// or link then unlink where the file system lacks that flag. Never replaces.
// An error means `to` was not made.
Result<Placed> move_no_replace(int dir, const char* from, const char* to);
Result<Placed> link_then_unlink(int dir, const char* from, const char* to);

// What a directory holds under one name, read without following it.
struct Probed {
  enum class Kind : std::uint8_t { Absent, Directory, Link, Other };
  Kind kind = Kind::Absent;
  dev_t device = 0;    // of a directory
  ino_t inode = 0;     // of a directory
  std::string target;  // of a symbolic link
};

// fstatat without following, then readlinkat for a link. A name that cannot
// exist there (one holding NUL or too long) is Absent; other failures are Io.
Result<Probed> probe(int dir, std::string_view name);

// Io "destination changed while it was read": a directory is no longer the
// one (device, inode) found before.
[[nodiscard]] Error destination_changed();

}  // namespace platform

}  // namespace kov_core::secure_fs
