// Extracts an archive the way `kov extract` does, with the concurrent flushes
// or with one flush at a time (the path taken where io_uring is unavailable),
// so that the two can be timed against each other on the same input.
// Usage: kov_extract_bench ARCHIVE DESTINATION [--one-at-a-time]

#include <cstdio>
#include <cstring>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"

int main(int argc, char** argv) {
  using namespace kov_core;
  if (argc < 3) return 2;
  auto opened = archive::Archive::open(argv[1]);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().display().c_str());
    return 1;
  }
  archive::ExtractionOptions options;
  options.concurrent_flushes = !(argc > 3 && std::strcmp(argv[3], "--one-at-a-time") == 0);
  auto count = archive::extract_archive(*opened, argv[2], {}, false, {}, options);
  if (!count) {
    std::fprintf(stderr, "%s\n", count.error().display().c_str());
    return 1;
  }
  std::printf("extracted %llu file(s)\n", static_cast<unsigned long long>(*count));
  return 0;
}
