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
#include "util/directory_chain.hpp"

namespace kov_core::archive {

// InvalidInput "source changed or is not a regular file: {}".
[[nodiscard]] Error source_changed(std::string_view source);

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
  util::DirectoryChain chain_;
  // The input directories met so far, as the walk saw them (device, inode).
  std::unordered_map<std::string, std::pair<dev_t, ino_t>> roots_;
};

}  // namespace kov_core::archive
