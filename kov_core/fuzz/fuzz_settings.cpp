// decode_settings: the first byte chooses whether a zero index tag is allowed,
// the rest is the record. Decoding is strict, so a decoded record re-encodes to
// exactly its input.

#include <algorithm>
#include <cstdint>

#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool zero_tag_allowed = (data[0] & 1) != 0;
  const std::span<const std::uint8_t> record(data + 1, size - 1);
  auto settings = kov_core::archive::decode_settings(record, zero_tag_allowed);
  if (!settings) {
    kov_fuzz::check_error(settings.error(), kov_fuzz::SETTINGS_ERRORS);
    return 0;
  }
  const auto again = kov_core::archive::encode_settings(*settings);
  kov_fuzz::check(std::equal(again.begin(), again.end(), record.begin(), record.end()),
                  "settings do not re-encode to their input");
  return 0;
}
