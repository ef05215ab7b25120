#pragma once
// Watching and failing the flushes of the code under test, through the hook
// every flush of the library passes.

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <utility>
#include <vector>

#include "util/test_hooks.hpp"

namespace kov_test {

// Installs a flush hook for its lifetime.
class FlushHook {
 public:
  explicit FlushHook(int (*hook)(int fd, kov_core::util::test_hooks::FlushScope scope)) {
    kov_core::util::test_hooks::flush = hook;
  }
  FlushHook(const FlushHook&) = delete;
  FlushHook& operator=(const FlushHook&) = delete;
  ~FlushHook() { kov_core::util::test_hooks::flush = nullptr; }
};

// The file type bits of what `fd` refers to (0 when it cannot be told).
inline mode_t file_type(int fd) {
  struct stat status{};
  return ::fstat(fd, &status) == 0 ? status.st_mode & S_IFMT : 0;
}

// Counts the flushes of whole file systems in whole_flushes.
inline int whole_flushes = 0;
inline int count_whole_flushes(int, kov_core::util::test_hooks::FlushScope scope) {
  if (scope == kov_core::util::test_hooks::FlushScope::FileSystem) ++whole_flushes;
  return 0;
}

// Counts as above, and answers each flush of a descriptor of type `refused`
// with EINVAL, as some file systems do for directories.
template <mode_t refused>
int refuse_flushes_of(int fd, kov_core::util::test_hooks::FlushScope scope) {
  if (scope == kov_core::util::test_hooks::FlushScope::FileSystem)
    return count_whole_flushes(fd, scope);
  return file_type(fd) == refused ? EINVAL : 0;
}

// The directories that must be flushed to make a name in `dir` durable:
// `dir` and each above it up to the root of its file system, nearest first,
// by device and inode.
inline std::vector<std::pair<dev_t, ino_t>> up_to_file_system_root(
    const std::filesystem::path& dir) {
  std::vector<std::pair<dev_t, ino_t>> chain;
  struct stat status{};
  if (::stat(dir.c_str(), &status) != 0) return chain;
  const dev_t device = status.st_dev;
  for (std::filesystem::path p = std::filesystem::canonical(dir);; p = p.parent_path()) {
    if (::stat(p.c_str(), &status) != 0 || status.st_dev != device) break;
    chain.emplace_back(status.st_dev, status.st_ino);
    if (p == p.root_path()) break;
  }
  return chain;
}

}  // namespace kov_test
