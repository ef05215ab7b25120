// Encrypted archives opened and tested with a fixed key file. Byte 0 is the
// control byte and the rest the frame of fuzz_keyed_file.hpp, whose index is
// in clear so that mutations reach index decoding and the decode chain.
// Every failure must be one of the archive's own messages.

#include <cstdint>
#include <span>

#include "fuzz_archive_file.hpp"
#include "fuzz_keyed_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto file = kov_fuzz::keyed_archive(data[0], std::span(data + 1, size - 1));
  if (!file) return 0;
  kov_fuzz::MemoryFile memory(*file);
  kov_fuzz::open_and_test(memory, kov_fuzz::fixed_key());
  return 0;
}
