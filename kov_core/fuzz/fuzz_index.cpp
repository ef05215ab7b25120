// decode_index: the first byte chooses the version, the next eight the index
// offset (the end of the data area); the rest is the index. A decoded index of
// generation 1 or 2 re-encodes to exactly its input, and the memory reserved
// for the entries stays within a small multiple of the input.

#include <algorithm>
#include <cstdint>

#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"

namespace {

const kov_core::format::Version VERSIONS[] = {{1, 0, 0}, {0, 2, 0}, {0, 3, 0},
                                              {0, 4, 0}, {0, 5, 0}, {0, 6, 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const auto version = VERSIONS[data[0] % std::size(VERSIONS)];
  const std::uint64_t index_offset = kov_core::format::load_u64(data + 1);
  const std::span<const std::uint8_t> index(data + 9, size - 9);
  auto decoded = kov_core::archive::decode_index(index, index_offset, version);
  if (!decoded) {
    kov_fuzz::check_error(decoded.error(), kov_fuzz::INDEX_ERRORS, kov_fuzz::SETTINGS_ERRORS);
    return 0;
  }
  // Each entry record takes at least 77 bytes of input.
  kov_fuzz::check(decoded->entries.capacity() <= index.size() / 77,
                  "entry list larger than the index allows");
  if (kov_core::format::format_generation(version).value() == 0) return 0;
  auto again = kov_core::archive::encode_index(decoded->entries, decoded->settings);
  kov_fuzz::check(again && std::equal(again->begin(), again->end(), index.begin(), index.end()),
                  "index does not re-encode to its input");
  return 0;
}
