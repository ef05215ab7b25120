#include "support/archive_bytes.hpp"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kov_test {

namespace {

void put_u32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_u64(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes entry_record(const EntryRecord& r) {
  Bytes out{r.kind_code, r.codec, r.level, r.flags};
  put_u32(out, r.path_length.value_or(static_cast<std::uint32_t>(r.path.size())));
  put_u32(out, r.mode);
  put_u64(out, static_cast<std::uint64_t>(r.modified_unix));
  put_u64(out, r.original_size);
  put_u64(out, r.data_offset);
  put_u64(out, r.stored_size);
  out.insert(out.end(), r.sha256.begin(), r.sha256.end());
  out.insert(out.end(), r.path.begin(), r.path.end());
  return out;
}

kov_core::archive::ArchiveSettings plain_settings() {
  kov_core::archive::ArchiveSettings s;
  s.compression_level = 3;
  s.memory_limit_mib = 256;
  s.available_memory_mib = 20'000;
  s.thread_limit = 1;
  s.store_threshold_permille = 1000;
  s.io_buffer_size = 1'048'576;
  return s;
}

kov_core::archive::ArchiveSettings key_file_settings() {
  kov_core::archive::ArchiveSettings s = plain_settings();
  s.encryption = kov_core::crypto::EncryptionMode::KeyFile;
  s.encryption_chunk_size = 65'536;
  s.salt.fill(0x11);
  s.nonce_prefix.fill(0x22);
  s.index_tag.fill(0x33);
  return s;
}

kov_core::archive::ArchiveSettings password_settings() {
  kov_core::archive::ArchiveSettings s = key_file_settings();
  s.encryption = kov_core::crypto::EncryptionMode::Password;
  s.kdf_memory_kib = 65'536;
  s.kdf_iterations = 3;
  s.kdf_lanes = 1;
  return s;
}

Bytes settings_record(const kov_core::archive::ArchiveSettings& settings,
                      const std::vector<std::pair<std::size_t, std::uint8_t>>& patches) {
  const auto record = kov_core::archive::encode_settings(settings);
  Bytes out(record.begin(), record.end());
  for (const auto& [offset, value] : patches) out.at(offset) = value;
  return out;
}

IndexLayout index_layout(int generation) {
  IndexLayout layout;
  if (generation >= 1) layout.settings = settings_record(plain_settings());
  return layout;
}

Bytes index_bytes(const IndexLayout& layout) {
  Bytes out(layout.magic.begin(), layout.magic.end());
  put_u32(out, layout.count.value_or(static_cast<std::uint32_t>(layout.entries.size())));
  put_u32(out, layout.settings_size.value_or(static_cast<std::uint32_t>(layout.settings.size())));
  out.insert(out.end(), layout.settings.begin(), layout.settings.end());
  for (const EntryRecord& record : layout.entries) {
    const Bytes bytes = entry_record(record);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  out.insert(out.end(), layout.trailing.begin(), layout.trailing.end());
  return out;
}

Bytes archive_file(kov_core::format::Version version, const Bytes& data, const Bytes& index) {
  kov_core::format::Header header;
  header.major = version.major;
  header.minor = version.minor;
  header.patch = version.patch;
  header.io_buffer_size = 1'048'576;
  header.index_offset = kov_core::format::HEADER_SIZE + data.size();
  header.index_length = index.size();
  const auto head = header.encode();
  Bytes out(head.begin(), head.end());
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), index.begin(), index.end());
  const auto footer = kov_core::format::Footer{kov_core::format::digest(index), header.index_offset,
                                               header.index_length}
                          .encode();
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

Bytes valid_archive(kov_core::format::Version version, const std::vector<Item>& items) {
  const int generation = kov_core::format::format_generation(version).value();
  IndexLayout layout = index_layout(generation);
  Bytes data;
  std::vector<kov_core::archive::Entry> entries;
  for (const Item& item : items) {
    EntryRecord record;
    record.path = item.path;
    record.kind_code = item.kind_code;
    record.codec = item.codec;
    record.mode = item.mode;
    record.original_size = item.original_size.value_or(item.content.size());
    record.sha256 = kov_core::format::digest(item.content);
    const bool has_data = item.kind_code != 2;
    record.data_offset = has_data ? kov_core::format::HEADER_SIZE + data.size() : 0;
    record.stored_size = has_data ? item.stored.size() : 0;
    if (has_data) data.insert(data.end(), item.stored.begin(), item.stored.end());
    layout.entries.push_back(record);
    kov_core::archive::Entry entry;
    entry.path = item.path;
    entry.sha256_bytes = record.sha256;
    entry.original_size = record.original_size;
    entries.push_back(entry);
  }
  Bytes out = archive_file(version, data, index_bytes(layout));
  const auto id = kov_core::archive::archive_id(0, entries);
  std::copy(id.begin(), id.end(), out.begin() + 16);
  refresh_header_checksum(out);
  return out;
}

void flip_byte(Bytes& bytes, std::size_t offset, std::uint8_t mask) { bytes.at(offset) ^= mask; }

void refresh_header_checksum(Bytes& bytes) {
  std::array<std::uint8_t, 64> head{};
  std::copy(bytes.begin(), bytes.begin() + 64, head.begin());
  std::fill(head.begin() + 44, head.begin() + 48, std::uint8_t{0});
  const auto sum = kov_core::format::digest(head);
  std::copy(sum.begin(), sum.begin() + 4, bytes.begin() + 44);
}

Item stored_item(std::string path, std::uint8_t kind_code, std::string_view content,
                 std::uint32_t mode) {
  Item out;
  out.path = std::move(path);
  out.kind_code = kind_code;
  out.stored = out.content = text_bytes(content);
  out.mode = mode;
  return out;
}
Item file(std::string path, std::string_view content, std::uint32_t mode) {
  return stored_item(std::move(path), 1, content, mode);
}
Item dir(std::string path) { return stored_item(std::move(path), 2, "", 0755); }
Item link(std::string path, std::string_view target) {
  return stored_item(std::move(path), 4, target, 0777);
}

TempDir::TempDir() : TempDir(std::filesystem::path()) {}

TempDir::TempDir(const std::filesystem::path& base_directory) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = !base_directory.empty()
                            ? base_directory.string()
                            : std::string(base != nullptr && *base != '\0' ? base : "/tmp");
  pattern += "/kov-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes from_hex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace kov_test

namespace kov_core::archive {

void PrintTo(const Entry& e, std::ostream* out) {
  *out << "{" << e.path << " kind " << static_cast<int>(e.kind) << " " << e.codec << " level "
       << static_cast<int>(e.compression_level) << " enc " << e.encrypted << " mode " << e.mode
       << " mtime " << e.modified_unix << " sizes " << e.original_size << "/" << e.stored_size
       << " @" << e.data_offset << " " << e.sha256() << "}";
}

void PrintTo(const ArchiveSettings& s, std::ostream* out) {
  *out << "{settings mode " << static_cast<int>(s.encryption) << " level "
       << static_cast<int>(s.compression_level) << " io " << s.io_buffer_size << " chunk "
       << s.encryption_chunk_size << "}";
}

}  // namespace kov_core::archive
