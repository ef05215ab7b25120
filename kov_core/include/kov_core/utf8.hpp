#pragma once
// UTF-8 helpers of the library and the front end: validation, decoding,
// counting characters and the lossy display of byte strings (each maximal
// invalid subpart becomes one U+FFFD, the replacement that Unicode recommends).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kov_core::util {

// Length of the valid UTF-8 sequence starting at bytes[0] (1 to 4), or 0 when
// the bytes there do not start a valid sequence. When 0 is returned,
// `invalid_length` (if not null) receives the length of the maximal invalid
// subpart to replace by one U+FFFD (at least 1). `bytes` must not be empty.
[[nodiscard]] std::size_t utf8_sequence_length(std::string_view bytes,
                                               std::size_t* invalid_length = nullptr) noexcept;

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` with every maximal invalid subpart replaced by U+FFFD.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

// Characters (Unicode scalar values) of UTF-8 text: the bytes that are not
// continuation bytes.
[[nodiscard]] std::size_t char_count(std::string_view text) noexcept;

// Decodes the valid sequence of `length` bytes at `bytes[0]` (a length
// returned by utf8_sequence_length).
[[nodiscard]] char32_t decode_utf8(std::string_view bytes, std::size_t length) noexcept;

// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t code_point);

// Decodes the next code point of `bytes` at `position` and advances it; an
// invalid subpart yields U+FFFD and advances past the subpart.
[[nodiscard]] char32_t next_code_point(std::string_view bytes, std::size_t& position) noexcept;

}  // namespace kov_core::util
