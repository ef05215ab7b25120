#pragma once
// Creating small files that must never replace anything and must survive a
// power cut: key files, signature files and public key files.

#include <cstdint>
#include <filesystem>
#include <span>

#include "kov_core/error.hpp"

namespace kov_core::util {

// Exclusive create (an existing file, directory or link, even a dangling one,
// fails with EEXIST), mode 0600, close-on-exec; writes all bytes, fsyncs the
// file and the directory that holds it, then closes it. Every failure is
// Io; a file already created is left in place.
Result<void> create_new_file(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes);

// Reads until `out` is full or the file ends (interrupted reads are retried);
// returns how many bytes were read. A read failure is Io.
Result<std::size_t> read_up_to(int fd, std::span<std::uint8_t> out);

// Makes the name `path` durable: fsync of the directory that holds it. A
// directory that cannot be opened for reading (EACCES, as in a mode 0733 drop
// box) is flushed through `new_file`, the open file under that name: syncfs
// flushes its whole file system, the directory included. So is a directory
// whose file system refuses to flush it alone (EINVAL). A failed flush is Io.
Result<void> sync_parent_directory(const std::filesystem::path& path, int new_file);

// The same for a name in `dir`, a directory held open (O_PATH will do): the
// flush reopens it for reading, with the same two fallbacks.
Result<void> sync_directory(int dir, int new_file);

}  // namespace kov_core::util
