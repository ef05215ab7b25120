// decode_index: the first byte chooses the version, the next eight the index
// offset (the end of the data area); the rest is the index. A decoded index of
// generation 1 or 2 re-encodes to exactly its input, and the memory reserved
// for the entries stays within a small multiple of the input.

#include <algorithm>
#include <cstdint>

#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"

namespace {

const char* const ALLOWED[] = {
    "corrupt archive: truncated index header",
    "corrupt archive: wrong index magic",
    "corrupt archive: truncated integer",
    "corrupt archive: entry count exceeds implementation limit",
    "unsupported feature: format version *",
    "corrupt archive: invalid KOV 0.4 settings size",
    "corrupt archive: truncated KOV 0.4 settings",
    "corrupt archive: non-zero reserved index bytes",
    "corrupt archive: entry count exceeds available index bytes",
    "corrupt archive: truncated entry",
    "unsupported feature: entry kind *",
    "unsupported feature: entry flags or codec",
    "unsupported feature: entry flags or compression level",
    "unsupported feature: entry flags",
    "corrupt archive: invalid path length",
    "corrupt archive: truncated entry hash",
    "corrupt archive: truncated entry path",
    "corrupt archive: entry path is not UTF-8",
    "corrupt archive: unsafe path in index: *",
    "corrupt archive: absolute path in index: *",
    "corrupt archive: non-canonical path in index: *",
    "corrupt archive: duplicate entry kind/path: *",
    "corrupt archive: portable path collision: *",
    "corrupt archive: conflicting entry kinds for path: *",
    "corrupt archive: directory has file data: *",
    "corrupt archive: file data out of bounds: *",
    "corrupt archive: entry encryption flag does not match archive settings: *",
    "corrupt archive: stored entry has a compression level: *",
    "corrupt archive: trailing bytes in index",
    "corrupt archive: resource fork has no file entry: *",
    "corrupt archive: invalid symbolic link payload: *",
};

const kov_core::format::Version VERSIONS[] = {{1, 0, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}, {0, 5, 0}, {0, 6, 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const auto version = VERSIONS[data[0] % std::size(VERSIONS)];
  const std::uint64_t index_offset = kov_core::format::load_u64(data + 1);
  const std::span<const std::uint8_t> index(data + 9, size - 9);
  auto decoded = kov_core::archive::decode_index(index, index_offset, version);
  if (!decoded) {
    kov_fuzz::check_error(decoded.error(), ALLOWED, kov_fuzz::SETTINGS_ERRORS);
    return 0;
  }
  // Each entry record takes at least 77 bytes of input.
  kov_fuzz::check(decoded->entries.capacity() <= index.size() / 77, "entry list larger than the index allows");
  if (kov_core::format::format_generation(version).value() == 0) return 0;
  auto again = kov_core::archive::encode_index(decoded->entries, decoded->settings);
  kov_fuzz::check(again && std::equal(again->begin(), again->end(), index.begin(), index.end()),
                  "index does not re-encode to its input");
  return 0;
}
