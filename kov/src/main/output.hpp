#pragma once
// Writing results and error lines, and the exact text of the listing, the
// description and the test verdict. A result line that cannot be written ends
// the process with status 101, after a diagnostic on standard error.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "kov_core/archive.hpp"

namespace kov {

// One write of the whole text to standard output; exits with 101 on failure.
void write_stdout(std::string_view text);
// One write of the whole text to standard error; exits with 101 on failure.
void write_stderr(std::string_view text);

// A path as text, each invalid UTF-8 sequence replaced by U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

// ---- Text from outside on a terminal ----
//
// Stored paths, paths from the command line and the error messages that carry
// them may hold controls that a terminal would obey (retitle, clear, write the
// clipboard) and bidirectional marks that turn text around. On a terminal they
// are written escaped: the listing's rows, the result lines that show a path
// ("created", "extracted", the test verdict, the new key file), the error line
// and the shortcut's question. Elsewhere they stay raw, as scripts expect, and
// JSON is always raw JSON.

enum class Shown : bool { Raw, Escaped };

// How standard output or standard error (STDOUT_FILENO, STDERR_FILENO) shows
// such text: escaped exactly when it is a terminal, asked once per process.
[[nodiscard]] Shown shown_on(int fd);

// `text` with each invalid UTF-8 sequence replaced by U+FFFD, then each C0
// control and DEL written as "\x" and two hexadecimal digits, each C1 control
// and bidirectional override or isolate as "\u{...}" (lowercase hexadecimal)
// and each backslash doubled.
[[nodiscard]] std::string escape_controls(std::string_view text);

// `text` unchanged when raw, escaped when escaped.
[[nodiscard]] std::string shown_text(std::string_view text, Shown shown);

// A path as text for a stream: replaced lossily, and escaped when escaped.
[[nodiscard]] std::string display_path(const std::filesystem::path& path, Shown shown);

// ---- Results of create and extract ----

// "created {archive}" with its line feed; the path as shown.
[[nodiscard]] std::string created_text(const std::filesystem::path& archive, Shown shown);
// "extracted {count} file(s) to {destination}" with its line feed; the path as shown.
[[nodiscard]] std::string extracted_text(std::uint64_t count,
                                         const std::filesystem::path& destination, Shown shown);

// ---- Listing ----

// The column titles of the text listing, with its line feed.
[[nodiscard]] std::string listing_header();
// One row of the text listing: sizes right-aligned in 12 columns (wider when
// they need it), the kind's short label and the stored path as shown.
[[nodiscard]] std::string listing_row(const kov_core::archive::Entry& entry, Shown shown);
// The entries as a pretty-printed JSON array, with its line feed.
[[nodiscard]] std::string listing_json(std::span<const kov_core::archive::Entry> entries);
// Writes the listing: the JSON array in one write, or the text table one
// write per line, never built whole.
void print_listing(std::span<const kov_core::archive::Entry> entries, bool json);

// ---- Description ----

// What info shows of an opened archive.
struct Description {
  std::string format_version;
  std::string archive_id;
  std::int64_t created_unix = 0;
  std::span<const kov_core::archive::Entry> entries;
  kov_core::archive::ArchiveSettings settings;
};

[[nodiscard]] Description describe(const kov_core::archive::Archive& archive);
// Five lines: version, ID, entry count and the two byte totals. The totals are
// exact however large: they never wrap.
[[nodiscard]] std::string description_text(const Description& description);
// The description as a pretty-printed JSON object with sorted keys, with its line feed.
[[nodiscard]] std::string description_json(const Description& description);

// ---- Test verdict ----

// "OK: {archive}" with its line feed; the path is shown lossily, and escaped when escaped.
[[nodiscard]] std::string test_result_text(const std::filesystem::path& archive, Shown shown);
// The compact JSON verdict with its line feed; the path is shown lossily.
[[nodiscard]] std::string test_result_json(const std::filesystem::path& archive);

}  // namespace kov
