#pragma once
// Watching and failing the flushes of the code under test, through the hook
// every flush of the library passes.

#include <sys/stat.h>

#include "util/io.hpp"

namespace kov_test {

// Installs a flush hook for its lifetime.
class FlushHook {
 public:
  explicit FlushHook(int (*hook)(int fd, kov_core::util::FlushScope scope)) {
    kov_core::util::flush_hook = hook;
  }
  FlushHook(const FlushHook&) = delete;
  FlushHook& operator=(const FlushHook&) = delete;
  ~FlushHook() { kov_core::util::flush_hook = nullptr; }
};

// The file type bits of what `fd` refers to (0 when it cannot be told).
inline mode_t file_type(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 ? status.st_mode & S_IFMT : 0;
}

}  // namespace kov_test
