#pragma once
// Writing results and error lines. A result line that cannot be written ends
// the process with status 101, after a diagnostic on standard error.

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace kov {

inline constexpr int EXIT_PRINT_FAILED = 101;

// Held by every writer of standard error, and by the progress display for its
// whole life, so that nothing interleaves with its line.
[[nodiscard]] std::mutex& stderr_mutex();

// One write of the whole text to standard output; exits with 101 on failure.
void write_stdout(std::string_view text);
// One write of the whole text to standard error; exits with 101 on failure.
void write_stderr(std::string_view text);
// Writes the whole text to a descriptor; returns 0 or the error number.
[[nodiscard]] int write_all(int fd, std::string_view text) noexcept;

// A path as text, each invalid UTF-8 sequence replaced by U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

}  // namespace kov
