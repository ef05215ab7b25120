// Decoding rate of a valid index of 1,000,000 entries, and the memory it takes;
// then the same entries with their data out of index order.
// Usage: kov_index_decode_bench [ENTRIES]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kov_core/archive.hpp"

namespace {

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kov_core;
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  archive::ArchiveSettings settings;
  settings.compression_level = 3;
  settings.memory_limit_mib = 256;
  settings.thread_limit = 1;
  settings.store_threshold_permille = 1000;
  settings.io_buffer_size = 1 << 20;

  std::vector<archive::Entry> entries;
  entries.reserve(count + count / 1000 + 1);
  std::uint64_t offset = 64;
  for (std::size_t d = 0; d * 1000 < count; ++d) {
    archive::Entry dir;
    dir.path = "photos/album-" + std::to_string(d);
    dir.kind = archive::EntryKind::Directory;
    entries.push_back(dir);
    for (std::size_t f = d * 1000; f < std::min(count, (d + 1) * 1000); ++f) {
      archive::Entry e;
      e.path = dir.path + "/IMG_" + std::to_string(f) + ".jpg";
      e.codec = "zstd";
      e.codec_id = archive::CODEC_ZSTD;
      e.compression_level = 3;
      e.original_size = 1000 + f;
      e.stored_size = 100;
      e.data_offset = offset;
      offset += 100;
      entries.push_back(e);
    }
  }
  const auto index = archive::encode_index(entries, settings).value();
  // The same entries with their data in reverse order: disjoint, but not in
  // index order, so decoding sorts the regions to check them.
  std::uint64_t reversed_offset = offset;
  for (archive::Entry& e : entries) {
    if (e.kind == archive::EntryKind::Directory) continue;
    reversed_offset -= e.stored_size;
    e.data_offset = reversed_offset;
  }
  const auto reversed = archive::encode_index(entries, settings).value();
  entries.clear();
  entries.shrink_to_fit();
  const long rss_before = peak_rss_kib();

  double best = 1e30;
  std::size_t decoded_count = 0;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    auto decoded = archive::decode_index(index, offset, format::VERSION_0_5_0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!decoded) {
      std::fprintf(stderr, "decode failed: %s\n", decoded.error().display().c_str());
      return 1;
    }
    decoded_count = decoded->entries.size();
    best = std::min(best, seconds);
  }
  const long rss_after = peak_rss_kib();
  std::printf("entries: %zu, index: %.1f MiB\n", decoded_count,
              static_cast<double>(index.size()) / (1 << 20));
  std::printf("best of 3: %.3f s, %.0f entries/s\n", best,
              static_cast<double>(decoded_count) / best);
  std::printf(
      "peak memory while decoding: +%.1f MiB over the index (%.2f x the index size)\n",
      static_cast<double>(rss_after - rss_before) / 1024,
      static_cast<double>(rss_after - rss_before) * 1024 / static_cast<double>(index.size()));

  double reversed_best = 1e30;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    auto decoded = archive::decode_index(reversed, offset, format::VERSION_0_5_0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!decoded) {
      std::fprintf(stderr, "decode failed: %s\n", decoded.error().display().c_str());
      return 1;
    }
    reversed_best = std::min(reversed_best, seconds);
  }
  std::printf("data in reverse order, best of 3: %.3f s, peak memory +%.1f MiB over the above\n",
              reversed_best, static_cast<double>(peak_rss_kib() - rss_after) / 1024);

  // A count of 10,000,000 over a short index is refused before anything is reserved.
  std::vector<std::uint8_t> short_index(index.begin(), index.begin() + 112 + 1000);
  short_index[8] = 0x80, short_index[9] = 0x96, short_index[10] = 0x98, short_index[11] = 0x00;
  const auto start = std::chrono::steady_clock::now();
  auto refused = archive::decode_index(short_index, offset, format::VERSION_0_5_0);
  std::printf(
      "10,000,000 declared over %zu bytes: %s in %.1f us\n", short_index.size(),
      refused ? "accepted (wrong)" : refused.error().display().c_str(),
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  return refused ? 1 : 0;
}
