// Whole archives: opened without a credential and tested. The first input byte
// says what to repair after the mutation, so that mutations get past the
// checksums into index decoding and the decode chain: bit 0 the footer
// digests, bit 1 the footer's copies of offset and length, bit 2 the archive
// ID, bit 3 the header checksum (always repaired last). The rest is the file.
// Every failure must be one of the archive's own messages.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_archive_file.hpp"
#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::vector<std::uint8_t> file(data + 1, data + size);
  kov_fuzz::repair(file, data[0]);
  kov_fuzz::MemoryFile memory(file);
  kov_fuzz::open_and_test(memory, {});
  return 0;
}
