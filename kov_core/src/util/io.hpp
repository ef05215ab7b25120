#pragma once
// The loops around read, write, pread, pwrite and fsync: interrupted calls are
// retried and short counts continued, so no caller writes them again. An OS
// failure is returned bare (Error::os); callers that mean "the file ended" map
// the Io end-of-file errors below to their own.

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kov_core/error.hpp"

namespace kov_core::util {

// Writes every byte. A write that makes no progress is Io "failed to write
// whole buffer".
Result<void> write_all(int fd, std::span<const std::uint8_t> bytes);

// Writes every byte at `offset`; the file position is not used. A write that
// makes no progress is Io "failed to write whole buffer".
Result<void> pwrite_all(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset);

// Fills `out` from `offset`. A file that ends first is Io "failed to fill
// whole buffer".
Result<void> pread_exact(int fd, std::span<std::uint8_t> out, std::uint64_t offset);

// One read: how many bytes arrived, 0 only at the end of the file (or for an
// empty `out`).
Result<std::size_t> read_some(int fd, std::span<std::uint8_t> out);

// One positioned read, as read_some.
Result<std::size_t> pread_some(int fd, std::span<std::uint8_t> out, std::uint64_t offset);

// Copies all of `from`, from its start, to `to` at its file position, inside
// the kernel (copy_file_range); the position of `from` is not used.
Result<void> copy_whole(int from, int to);

// openat; when the process is out of descriptors (EMFILE, ENFILE),
// `relieve()` may free some (true) and the open is tried again. The
// descriptor, or -1 with errno set; a failure of `relieve` is returned.
template <class Relieve>
Result<int> open_relieved(int dir, const char* name, int flags, Relieve&& relieve) {
  for (;;) {
    const int fd = ::openat(dir, name, flags);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    const int error = errno;
    auto relieved = relieve();
    if (!relieved) return std::unexpected(std::move(relieved).error());
    if (!*relieved) {
      errno = error;
      return -1;
    }
  }
}

// Calls `call` (a system call: negative with errno set on failure) until it
// succeeds or fails with an errno other than EINTR and EAGAIN, `attempts`
// times at most, and returns its last result with errno as that call left it.
// For calls whose EAGAIN means "try again at once", such as openat2 racing a
// rename: EINTR or EAGAIN left in errno means the attempts ran out.
template <class Call>
auto retry_transient(Call&& call, int attempts) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || (errno != EINTR && errno != EAGAIN) || --attempts <= 0) return result;
  }
}

// fsync, retried while interrupted.
Result<void> fsync_all(int fd);

// syncfs: flushes the whole file system that holds `fd`.
Result<void> sync_file_system(int fd);

// sync: flushes every file system, for one that no descriptor at hand is on.
// It reports no write-back error, so syncfs is preferred wherever it serves.
Result<void> sync_all_file_systems();

}  // namespace kov_core::util
