#pragma once
// Creating small files that must never replace anything and must survive a
// power cut: key files, signature files and public key files.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"

namespace kov_core::util {

// The directory that holds a path, opened once as named (links in the path
// followed), and the path's last component in it. Every later step acts
// through the descriptor, so one run stays in one directory even when a name
// on the way is swapped meanwhile. It is held O_PATH: a drop box (write and
// search, no read) opens too.
struct ParentDirectory {
  Fd dir;
  // The last component, trailing slashes kept: relative to `dir` it resolves
  // as the whole path would.
  std::string name;
};

// The directory is the path up to its last slash: "." when there is none, the
// root for slashes alone. A failure to open it is Io.
Result<ParentDirectory> open_parent_directory(const std::filesystem::path& path);

// Exclusive create (an existing file, directory or link, even a dangling one,
// fails with EEXIST), mode 0600, close-on-exec, in the directory that holds
// `path` as first opened; writes all bytes, fsyncs the file, then that
// directory and every one above it up to the root of its file system
// (sync_directory_and_above), then closes it. Every failure is Io; a file
// already created is left in place.
Result<void> create_new_file(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes);

// Reads until `out` is full or the file ends (interrupted reads are retried);
// returns how many bytes were read. A read failure is Io.
Result<std::size_t> read_up_to(int fd, std::span<std::uint8_t> out);

}  // namespace kov_core::util
