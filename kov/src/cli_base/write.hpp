#pragma once
// What every writer of the standard streams shares: the lock on standard error,
// the write loop and the status of a process whose result line could not be
// written; and the front end's one read loop. A leaf: the command modules and
// the progress display both use it.

#include <cstddef>
#include <expected>
#include <mutex>
#include <span>
#include <string_view>

namespace kov {

inline constexpr int EXIT_PRINT_FAILED = 101;

// Held by every writer of standard error, and by the progress display for its
// whole life, so that nothing interleaves with its line.
[[nodiscard]] std::mutex& stderr_mutex();

// Writes the whole text to a descriptor; returns 0 or the error number, EIO
// for a write that writes nothing.
[[nodiscard]] int write_all(int fd, std::string_view text) noexcept;

// One read, retried while interrupted: the byte count (0 only at the end of
// the file, or for an empty `out`) or the error number.
[[nodiscard]] std::expected<std::size_t, int> read_some(int fd, std::span<std::byte> out) noexcept;

}  // namespace kov
