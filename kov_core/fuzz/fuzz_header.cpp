// Header::decode on arbitrary bytes, and again with the checksum repaired so
// that the checks behind it are reached: a decoded header re-encodes to its input.

#include <algorithm>
#include <cstdint>

#include "fuzz_check.hpp"
#include "kov_core/format.hpp"

namespace {

const char* const ALLOWED[] = {
    "corrupt archive: truncated header",         "corrupt archive: wrong KOV magic",
    "unsupported feature: format version *",     "corrupt archive: non-zero reserved version byte",
    "corrupt archive: header checksum mismatch",
};

void decode_and_check(std::span<const std::uint8_t> bytes) {
  auto header = kov_core::format::Header::decode(bytes);
  if (!header) {
    kov_fuzz::check_error(header.error(), ALLOWED);
    return;
  }
  const auto again = header->encode();
  kov_fuzz::check(std::equal(again.begin(), again.end(), bytes.begin()),
                  "header does not re-encode to its input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  decode_and_check(input);
  if (size >= kov_core::format::HEADER_SIZE) {
    std::array<std::uint8_t, kov_core::format::HEADER_SIZE> repaired{};
    std::copy(data, data + repaired.size(), repaired.begin());
    std::fill(repaired.begin() + 44, repaired.begin() + 48, std::uint8_t{0});
    const auto sum = kov_core::format::digest(repaired);
    std::copy(sum.begin(), sum.begin() + 4, repaired.begin() + 44);
    decode_and_check(repaired);
  }
  return 0;
}
