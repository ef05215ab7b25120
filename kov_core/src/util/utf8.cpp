#include "kov_core/utf8.hpp"

#include <cstring>

namespace kov_core::util {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

[[nodiscard]] constexpr bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t* invalid_length) noexcept {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  // Allowed range of the second byte (Unicode Table 3-7).
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    if (invalid_length != nullptr) *invalid_length = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= bytes.size()) break;
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (i == 1 ? (byte < low || byte > high) : !is_continuation(byte)) break;
  }
  if (i == need + 1) return need + 1;
  if (invalid_length != nullptr) *invalid_length = i;
  return 0;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t position = 0;
  const std::size_t size = bytes.size();
  while (position < size) {
    // Fast path: eight ASCII bytes at a time.
    while (position + 8 <= size) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + position, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      position += 8;
    }
    if (position >= size) break;
    if (static_cast<unsigned char>(bytes[position]) < 0x80) {
      ++position;
      continue;
    }
    const std::size_t length = utf8_sequence_length(bytes.substr(position));
    if (length == 0) return false;
    position += length;
  }
  return true;
}

std::size_t char_count(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char c : text)
    if (!is_continuation(static_cast<unsigned char>(c))) ++count;
  return count;
}

char32_t decode_utf8(std::string_view bytes, std::size_t length) noexcept {
  const auto b = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]));
  };
  switch (length) {
    case 1:
      return b(0);
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t next_code_point(std::string_view bytes, std::size_t& position) noexcept {
  const std::string_view rest = bytes.substr(position);
  std::size_t invalid = 0;
  const std::size_t length = utf8_sequence_length(rest, &invalid);
  if (length == 0) {
    position += invalid;
    return REPLACEMENT;
  }
  position += length;
  return decode_utf8(rest, length);
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t position = 0;
  while (position < bytes.size()) {
    const std::size_t start = position;
    std::size_t invalid = 0;
    const std::size_t length = utf8_sequence_length(bytes.substr(position), &invalid);
    if (length != 0) {
      out.append(bytes.substr(start, length));
      position += length;
    } else {
      out.append("\xEF\xBF\xBD");
      position += invalid;
    }
  }
  return out;
}

}  // namespace kov_core::util
