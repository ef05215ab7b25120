#include "main/output.hpp"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "cli_base/write.hpp"
#include "kov_core/error.hpp"
#include "kov_core/utf8.hpp"

namespace kov {

namespace {

using kov_core::archive::Entry;
using kov_core::archive::EntryKind;

// Sums of up to 2^64 sizes of up to 2^64 - 1 bytes each fit in 128 bits.
__extension__ using Wide = unsigned __int128;

[[noreturn]] void print_failed(const char* stream, int error_number) {
  std::string line = std::string("kov: failed printing to ") + stream + ": " +
                     kov_core::error::os_error_text(error_number) + "\n";
  (void)write_all(STDERR_FILENO, line);
  std::_Exit(EXIT_PRINT_FAILED);
}

std::string decimal(Wide value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// A longer text is written whole, never cut.
std::string align_right(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string align_left(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string_view list_label(EntryKind kind) {
  switch (kind) {
    case EntryKind::File:
      return "file";
    case EntryKind::Directory:
      return "dir";
    case EntryKind::ResourceFork:
      return "rsrc";
    case EntryKind::Symlink:
      break;
  }
  return "link";
}

// The listing's columns before the path, shared by its header and its rows so
// that titles and values line up.
struct ListingColumn {
  const char* title;
  std::size_t width;
  bool right_aligned;
  std::string (*value)(const Entry&);
};

constexpr std::array<ListingColumn, 3> LISTING_COLUMNS{{
    {"SIZE", 12, true, [](const Entry& e) { return std::to_string(e.original_size); }},
    {"STORED", 12, true, [](const Entry& e) { return std::to_string(e.stored_size); }},
    {"TYPE", 5, false, [](const Entry& e) { return std::string(list_label(e.kind)); }},
}};

std::string aligned(const ListingColumn& column, std::string text) {
  return column.right_aligned ? align_right(std::move(text), column.width)
                              : align_left(std::move(text), column.width);
}

// Every string is valid UTF-8 by the time it gets here; replacing keeps a
// stray byte from ever making the dump throw.
std::string dump(const auto& document, int indent) {
  return document.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

struct Totals {
  Wide original = 0;
  Wide stored = 0;
};

Totals totals(std::span<const Entry> entries) {
  Totals sum;
  for (const Entry& entry : entries) {
    sum.original += entry.original_size;
    sum.stored += entry.stored_size;
  }
  return sum;
}

constexpr Wide UINT64_LIMIT = static_cast<Wide>(UINT64_MAX);

}  // namespace

void write_stdout(std::string_view text) {
  if (const int e = write_all(STDOUT_FILENO, text)) print_failed("stdout", e);
}

void write_stderr(std::string_view text) {
  int e;
  {
    std::lock_guard lock(stderr_mutex());
    e = write_all(STDERR_FILENO, text);
  }
  if (e != 0) print_failed("stderr", e);
}

std::string display_path(const std::filesystem::path& path) {
  return kov_core::util::lossy_utf8(path.native());
}

Shown shown_on(int fd) {
  static const Shown out = ::isatty(STDOUT_FILENO) == 1 ? Shown::Escaped : Shown::Raw;
  static const Shown err = ::isatty(STDERR_FILENO) == 1 ? Shown::Escaped : Shown::Raw;
  return fd == STDERR_FILENO ? err : out;
}

std::string escape_controls(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const char32_t c = kov_core::util::next_code_point(text, position);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += HEX[c >> 4];
      out += HEX[c & 0xF];
    } else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
               (c >= 0x2066 && c <= 0x2069)) {
      std::string digits;
      for (char32_t rest = c; rest != 0; rest >>= 4) digits.insert(digits.begin(), HEX[rest & 0xF]);
      out += "\\u{" + digits + "}";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      kov_core::util::append_utf8(out, c);
    }
  }
  return out;
}

std::string shown_text(std::string_view text, Shown shown) {
  return shown == Shown::Escaped ? escape_controls(text) : std::string(text);
}

std::string display_path(const std::filesystem::path& path, Shown shown) {
  return shown == Shown::Escaped ? escape_controls(path.native()) : display_path(path);
}

std::string listing_header() {
  std::string line;
  for (const ListingColumn& column : LISTING_COLUMNS) line += aligned(column, column.title) + " ";
  return line + "PATH\n";
}

std::string listing_row(const Entry& entry, Shown shown) {
  std::string line;
  for (const ListingColumn& column : LISTING_COLUMNS)
    line += aligned(column, column.value(entry)) + " ";
  return line + shown_text(entry.path, shown) + "\n";
}

std::string listing_json(std::span<const Entry> entries) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const Entry& entry : entries) {
    nlohmann::ordered_json object;
    object["path"] = entry.path;
    object["kind"] = kov_core::archive::entry_kind_name(entry.kind);
    object["codec"] = entry.codec;
    object["compression_level"] = entry.compression_level;
    object["adaptively_stored"] = entry.adaptively_stored;
    object["encrypted"] = entry.encrypted;
    object["mode"] = entry.mode;
    object["modified_unix"] = entry.modified_unix;
    object["original_size"] = entry.original_size;
    object["stored_size"] = entry.stored_size;
    object["data_offset"] = entry.data_offset;
    object["sha256"] = entry.sha256();
    array.push_back(std::move(object));
  }
  return dump(array, 2);
}

void print_listing(std::span<const Entry> entries, bool json) {
  if (json) {
    write_stdout(listing_json(entries));
    return;
  }
  const Shown shown = shown_on(STDOUT_FILENO);
  write_stdout(listing_header());
  for (const Entry& entry : entries) write_stdout(listing_row(entry, shown));
}

Description describe(const kov_core::archive::Archive& archive) {
  return Description{archive.format_version(), archive.archive_id(), archive.header().created_unix,
                     archive.entries(), archive.settings()};
}

std::string description_text(const Description& description) {
  const Totals sum = totals(description.entries);
  return "KOV Format " + description.format_version + "\nArchive ID: " + description.archive_id +
         "\nEntries: " + std::to_string(description.entries.size()) +
         "\nOriginal bytes: " + decimal(sum.original) + "\nStored bytes: " + decimal(sum.stored) +
         "\n";
}

std::string description_json(const Description& description) {
  const kov_core::archive::ArchiveSettings& s = description.settings;
  nlohmann::json settings;
  settings["adaptive_selection"] = s.adaptive_selection;
  settings["available_memory_mib"] = s.available_memory_mib;
  settings["compression_level"] = s.compression_level;
  settings["constrained_at_creation"] = s.constrained_at_creation;
  settings["encryption"] = kov_core::crypto::encryption_mode_name(s.encryption);
  settings["encryption_chunk_size"] = s.encryption_chunk_size;
  settings["io_buffer_size"] = s.io_buffer_size;
  settings["kdf_iterations"] = s.kdf_iterations;
  settings["kdf_lanes"] = s.kdf_lanes;
  settings["kdf_memory_kib"] = s.kdf_memory_kib;
  settings["memory_limit_mib"] = s.memory_limit_mib;
  settings["profile"] = kov_core::archive::profile_name(s.profile);
  settings["sample_size"] = s.sample_size;
  settings["store_threshold_permille"] = s.store_threshold_permille;
  settings["thread_limit"] = s.thread_limit;

  nlohmann::json info;
  info["archive_id"] = description.archive_id;
  info["created_unix"] = description.created_unix;
  info["entries"] = static_cast<std::uint64_t>(description.entries.size());
  info["format"] = "KOV";
  info["settings"] = std::move(settings);
  info["version"] = description.format_version;

  // nlohmann holds no number wider than 64 bits, while a JSON number may be
  // any length: a larger total goes in as the string of its digits, and its
  // quotation marks come off after the dump.
  const Totals sum = totals(description.entries);
  std::vector<std::pair<std::string, std::string>> unquote;
  for (const auto& [key, total] :
       {std::pair{"original_bytes", sum.original}, std::pair{"stored_bytes", sum.stored}}) {
    if (total <= UINT64_LIMIT) {
      info[key] = static_cast<std::uint64_t>(total);
    } else {
      info[key] = decimal(total);
      unquote.emplace_back(key, decimal(total));
    }
  }
  std::string text = dump(info, 2);
  for (const auto& [key, digits] : unquote) {
    const std::string quoted = "\n  \"" + key + "\": \"" + digits + "\"";
    const std::size_t at = text.find(quoted);
    if (at != std::string::npos) text.replace(at, quoted.size(), "\n  \"" + key + "\": " + digits);
  }
  return text;
}

std::string created_text(const std::filesystem::path& archive, Shown shown) {
  return "created " + display_path(archive, shown) + "\n";
}

std::string extracted_text(std::uint64_t count, const std::filesystem::path& destination,
                           Shown shown) {
  return "extracted " + std::to_string(count) + " file(s) to " + display_path(destination, shown) +
         "\n";
}

std::string test_result_text(const std::filesystem::path& archive, Shown shown) {
  return "OK: " + display_path(archive, shown) + "\n";
}

std::string test_result_json(const std::filesystem::path& archive) {
  nlohmann::json verdict;
  verdict["archive"] = display_path(archive);
  verdict["ok"] = true;
  return dump(verdict, -1);
}

}  // namespace kov
