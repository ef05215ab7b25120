// Writes the seed inputs of the fuzz harnesses from the test builder: headers
// of every version, settings records of every encryption mode, and indexes of
// every generation with each kind of entry. Usage: make_seeds CORPUS_DIR.

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/archive_bytes.hpp"

namespace {

using kov_test::Bytes;
namespace fs = std::filesystem;

void put(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  kov_test::write_file(dir / name, bytes);
}

Bytes prefixed(std::uint8_t control, std::uint64_t offset, const Bytes& index) {
  Bytes out{control};
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
  out.insert(out.end(), index.begin(), index.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const fs::path root = argv[1];
  const kov_core::format::Version versions[] = {{1, 0, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}, {0, 5, 0}};

  for (std::size_t v = 0; v < std::size(versions); ++v) {
    kov_core::format::Header h;
    h.major = versions[v].major;
    h.minor = versions[v].minor;
    h.patch = versions[v].patch;
    h.profile = v >= 3 ? 0 : 0;
    h.flags = v == 4 ? 1 : 0;
    h.io_buffer_size = 1'048'576;
    h.index_offset = 64;
    h.index_length = 112;
    const auto bytes = h.encode();
    put(root / "header", "version-" + versions[v].text(), Bytes(bytes.begin(), bytes.end()));
  }

  const auto plain = kov_test::plain_settings();
  auto sealed = kov_test::key_file_settings();
  sealed.index_tag.fill(0);
  const std::pair<const char*, kov_core::archive::ArchiveSettings> settings[] = {
      {"plain", plain}, {"key-file", kov_test::key_file_settings()}, {"password", kov_test::password_settings()},
      {"sealed-zero-tag", sealed}};
  for (const auto& [name, s] : settings) {
    Bytes record{1};
    const Bytes body = kov_test::settings_record(s);
    record.insert(record.end(), body.begin(), body.end());
    put(root / "settings", name, record);
  }

  kov_test::EntryRecord file;
  file.path = "photos/a.jpg";
  file.codec = 1;
  file.level = 3;
  file.data_offset = 64;
  file.stored_size = 10;
  kov_test::EntryRecord dir;
  dir.kind_code = 2;
  dir.path = "photos";
  dir.original_size = dir.data_offset = dir.stored_size = 0;
  kov_test::EntryRecord link = file;
  link.kind_code = 4;
  link.codec = 0;
  link.level = 0;
  link.path = "photos/link";
  link.original_size = 5;
  kov_test::EntryRecord fork = file;
  fork.kind_code = 3;
  for (std::size_t v = 0; v < std::size(versions); ++v) {
    const int generation = v < 3 ? 0 : 1;
    kov_test::IndexLayout layout = kov_test::index_layout(generation);
    auto f = file;
    if (generation == 0) f.level = 0;
    layout.entries = {dir, f, fork};
    if (v != 0 && v != 1) layout.entries.push_back(link);
    put(root / "index", "version-" + versions[v].text(), prefixed(static_cast<std::uint8_t>(v), 1'000'000,
                                                                 kov_test::index_bytes(layout)));
  }
  kov_test::IndexLayout encrypted = kov_test::index_layout(1);
  encrypted.settings = kov_test::settings_record(kov_test::key_file_settings());
  auto secret = file;
  secret.flags = 2;
  encrypted.entries = {dir, secret};
  put(root / "index", "encrypted-0.4.0", prefixed(3, 1'000'000, kov_test::index_bytes(encrypted)));

  const std::pair<const char*, std::string> paths[] = {
      {"plain", "photos/2024/a.jpg"}, {"nfd", "cafe\xCC\x81/Notes"}, {"dotted", "./a//b/"},
      {"drive", "C:/x"}, {"link", std::string("a/b/link\xFF../../x")}, {"dotdot", "a/../b"},
      {"dotted-i", "\xC4\xB0stanbul"}};
  for (const auto& [name, text] : paths) put(root / "paths", name, Bytes(text.begin(), text.end()));
  std::puts("seeds written");
  return 0;
}
