#pragma once
// The loops around read, write, pread, pwrite and fsync: interrupted calls are
// retried and short counts continued, so no caller writes them again. An OS
// failure is returned bare (Error::os); callers that mean "the file ended" map
// the Io end-of-file errors below to their own.

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

// For tests: when set, every flush is shown to it (one of an io_uring when it
// ends, any other before it runs), either of the descriptor alone or of its
// whole file system (of all of them, with fd -1); a nonzero errno it returns is then the flush's
// outcome in place of the system's.
enum class FlushScope : std::uint8_t { Descriptor, FileSystem };
inline int (*flush_hook)(int fd, FlushScope scope) = nullptr;

}  // namespace kov_core::util
