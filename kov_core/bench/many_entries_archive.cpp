// Writes a valid unencrypted archive of ENTRIES empty files in directories of
// 1,000, for measuring what listing and extracting a long index cost.
// Usage: kov_many_entries_archive OUTPUT [ENTRIES]

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "kov_core/archive.hpp"

int main(int argc, char** argv) {
  using namespace kov_core;
  if (argc < 2) return 2;
  const std::size_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
  archive::ArchiveSettings settings;
  settings.compression_level = 3;
  settings.memory_limit_mib = 64;
  settings.thread_limit = 1;
  settings.store_threshold_permille = 1000;
  settings.io_buffer_size = 1 << 20;

  const format::Digest empty = format::digest({});
  std::vector<archive::Entry> entries;
  entries.reserve(count + count / 1000 + 1);
  for (std::size_t d = 0; d * 1000 < count; ++d) {
    archive::Entry dir;
    dir.path = "photos/album-" + std::to_string(100000 + d);
    dir.kind = archive::EntryKind::Directory;
    dir.mode = 0755;
    dir.sha256_bytes = empty;
    entries.push_back(dir);
    for (std::size_t f = d * 1000; f < std::min(count, (d + 1) * 1000); ++f) {
      archive::Entry e;
      e.path = dir.path + "/IMG_" + std::to_string(1000000 + f) + ".jpg";
      e.mode = 0644;
      e.data_offset = format::HEADER_SIZE;
      e.sha256_bytes = empty;
      entries.push_back(e);
    }
  }
  // The directory "photos" itself comes first in index order.
  archive::Entry top;
  top.path = "photos";
  top.kind = archive::EntryKind::Directory;
  top.sha256_bytes = empty;
  entries.insert(entries.begin(), top);
  auto index = archive::encode_index(entries, settings);
  if (!index) {
    std::fprintf(stderr, "%s\n", index.error().display().c_str());
    return 1;
  }
  format::Header header;
  header.minor = 5;
  header.io_buffer_size = settings.io_buffer_size;
  header.index_offset = format::HEADER_SIZE;
  header.index_length = index->size();
  header.id = archive::archive_id(0, entries);
  format::Footer footer;
  footer.index_sha256 = format::digest(*index);
  footer.index_offset = header.index_offset;
  footer.index_length = header.index_length;
  std::ofstream out(argv[1], std::ios::binary);
  const auto head = header.encode();
  const auto tail = footer.encode();
  out.write(reinterpret_cast<const char*>(head.data()), head.size());
  out.write(reinterpret_cast<const char*>(index->data()),
            static_cast<std::streamsize>(index->size()));
  out.write(reinterpret_cast<const char*>(tail.data()), tail.size());
  return out ? 0 : 1;
}
