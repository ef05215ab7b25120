#pragma once
// Owns one directory stream; closedir when released.

#include <dirent.h>

#include <memory>

namespace kov_core::util {

struct CloseDir {
  void operator()(DIR* stream) const noexcept { ::closedir(stream); }
};
using DirStream = std::unique_ptr<DIR, CloseDir>;

}  // namespace kov_core::util
