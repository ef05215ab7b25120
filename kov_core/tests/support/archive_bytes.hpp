#pragma once
// Builds archive bytes of every readable version, with any field overridden,
// so that tests can make legacy and damaged archives that kov never writes.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kov_core/archive.hpp"
#include "kov_core/format.hpp"

namespace kov_test {

using Bytes = std::vector<std::uint8_t>;

// One entry record, field by field as stored; defaults give a 1-byte stored file "a" at offset 64.
struct EntryRecord {
  std::uint8_t kind_code = 1;
  std::uint8_t codec = 0;
  std::uint8_t level = 0;
  std::uint8_t flags = 0;
  std::optional<std::uint32_t> path_length;  // default: the path's byte length
  std::uint32_t mode = 0644;
  std::int64_t modified_unix = 0;
  std::uint64_t original_size = 1;
  std::uint64_t data_offset = 64;
  std::uint64_t stored_size = 1;
  kov_core::format::Digest sha256{};
  std::string path = "a";
};

[[nodiscard]] Bytes entry_record(const EntryRecord& record);

// Settings as kov writes them for an unencrypted archive.
[[nodiscard]] kov_core::archive::ArchiveSettings plain_settings();
// Valid encrypted settings (non-zero salt, nonce prefix and index tag).
[[nodiscard]] kov_core::archive::ArchiveSettings key_file_settings();
[[nodiscard]] kov_core::archive::ArchiveSettings password_settings();

// A 96-byte settings record with raw byte patches applied.
[[nodiscard]] Bytes settings_record(
    const kov_core::archive::ArchiveSettings& settings,
    const std::vector<std::pair<std::size_t, std::uint8_t>>& patches = {});

struct IndexLayout {
  std::array<std::uint8_t, 8> magic = kov_core::archive::INDEX_MAGIC;
  std::optional<std::uint32_t> count;          // default: the number of entries
  std::optional<std::uint32_t> settings_size;  // default: the record's size
  Bytes settings;                              // empty for generation 0
  std::vector<EntryRecord> entries;
  Bytes trailing;
};

// An index of generation 1 or 2 (plain settings) or 0 (no record).
[[nodiscard]] IndexLayout index_layout(int generation);
[[nodiscard]] Bytes index_bytes(const IndexLayout& layout);

// A whole unencrypted archive file: header, `data`, the index, the footer.
[[nodiscard]] Bytes archive_file(kov_core::format::Version version, const Bytes& data,
                                 const Bytes& index);

// One item of a whole valid archive: its stored bytes and the content they
// decode to (which gives the recorded size and SHA-256 unless overridden).
struct Item {
  std::string path;
  std::uint8_t kind_code = 1;
  std::uint8_t codec = 0;
  Bytes stored;
  Bytes content;
  std::optional<std::uint64_t> original_size;
  std::uint32_t mode = 0644;
};

// Items of each kind, stored as they are: files 0644 unless told, directories
// 0755, links 0777.
[[nodiscard]] Item stored_item(std::string path, std::uint8_t kind_code, std::string_view content,
                               std::uint32_t mode = 0644);
[[nodiscard]] Item file(std::string path, std::string_view content, std::uint32_t mode = 0644);
[[nodiscard]] Item dir(std::string path);
[[nodiscard]] Item link(std::string path, std::string_view target);

// A complete unencrypted archive of `items` (in index order) that opening
// accepts: settings of its generation, header profile and buffer size, the
// content-derived archive ID, digests and footer.
[[nodiscard]] Bytes valid_archive(kov_core::format::Version version,
                                  const std::vector<Item>& items);

// Damage helpers: each breaks exactly one thing.
void flip_byte(Bytes& bytes, std::size_t offset, std::uint8_t mask = 0xFF);
void refresh_header_checksum(Bytes& bytes);

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  // Under `base` instead of $TMPDIR.
  explicit TempDir(const std::filesystem::path& base);
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const Bytes& bytes);
[[nodiscard]] Bytes read_file(const std::filesystem::path& path);

// Bytes from hexadecimal text ("00ff...").
[[nodiscard]] Bytes from_hex(std::string_view hex);
// The bytes of a text, as they are.
[[nodiscard]] Bytes text_bytes(std::string_view text);

}  // namespace kov_test

namespace kov_core::archive {
// Short descriptions for test failure messages.
void PrintTo(const Entry& entry, std::ostream* out);
void PrintTo(const ArchiveSettings& settings, std::ostream* out);
}  // namespace kov_core::archive
