#pragma once
// The one error type of kov_core. Every fallible operation returns Result<T>;
// nothing else crosses the library boundary as a failure.

#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <utility>

namespace kov_core::error {

// The numbers are stable: the front end maps them to exit statuses.
enum class ErrorKind : std::uint8_t {
  Io = 0,
  InvalidInput = 1,
  Corrupt = 2,
  Unsupported = 3,
  Cancelled = 4
};

class Error {
 public:
  // Io from an operating-system error number; renders as "{description} (os error {n})".
  [[nodiscard]] static Error os(int error_number);
  // Io raised by the library or a byte stream, carrying a fixed message.
  [[nodiscard]] static Error io(std::string message);
  [[nodiscard]] static Error invalid_input(std::string message);
  [[nodiscard]] static Error corrupt(std::string message);
  [[nodiscard]] static Error unsupported(std::string message);
  [[nodiscard]] static Error cancelled();

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  // The operating-system error number of an Io error from the system, else 0.
  [[nodiscard]] int os_error() const noexcept { return error_number_; }
  // The text after "kov: " on the error line, e.g. "corrupt archive: truncated header".
  [[nodiscard]] std::string display() const;
  // The display text without the kind's prefix: for an Io error the operating
  // system's or the stream's own text. Layers that wrap a stream failure in a
  // message of their own use it.
  [[nodiscard]] std::string message() const;

 private:
  Error(ErrorKind kind, int error_number, std::string message)
      : kind_(kind), error_number_(error_number), message_(std::move(message)) {}

  ErrorKind kind_;
  int error_number_;  // non-zero only for an Io error from the operating system
  std::string message_;
};

// The system's description of an error number followed by " (os error {n})".
[[nodiscard]] std::string os_error_text(int error_number);

}  // namespace kov_core::error

namespace kov_core {

using error::Error;
using error::ErrorKind;
// std::expected that may not be dropped: every function returning one is
// guarded, so an unchecked failure is a compile warning (an error in the
// KOV_WERROR build).
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result(const std::expected<T, Error>& other) : std::expected<T, Error>(other) {}
  Result(std::expected<T, Error>&& other) noexcept(
      std::is_nothrow_move_constructible_v<std::expected<T, Error>>)
      : std::expected<T, Error>(std::move(other)) {}
};

}  // namespace kov_core

// Returns the error of a Result<void> expression from the enclosing function.
#define KOV_TRY(expr)                                                                 \
  do {                                                                                \
    auto kov_try_result_ = (expr);                                                    \
    if (!kov_try_result_) return std::unexpected(std::move(kov_try_result_).error()); \
  } while (false)
