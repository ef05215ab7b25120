#include "main/utf8.hpp"

namespace kov {

namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 if there is none;
// `invalid` is set to the length of the maximal invalid prefix then.
std::size_t utf8_sequence(std::string_view s, std::size_t& invalid) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  invalid = 1;
  if (b0 < 0x80) return 1;
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    invalid = k + 1;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::size_t invalid = 0;
  while (!text.empty()) {
    const std::size_t n = utf8_sequence(text, invalid);
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t invalid = 1;
    const std::size_t n = utf8_sequence(bytes, invalid);
    if (n > 0) {
      out.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
    } else {
      out += "\xEF\xBF\xBD";
      bytes.remove_prefix(invalid);
    }
  }
  return out;
}

}  // namespace kov
