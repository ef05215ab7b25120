#include "kov_core/error.hpp"

#include <cstring>

namespace kov_core::error {

Error Error::os(int error_number) { return Error(ErrorKind::Io, error_number, {}); }
Error Error::io(std::string message) { return Error(ErrorKind::Io, 0, std::move(message)); }
Error Error::invalid_input(std::string message) {
  return Error(ErrorKind::InvalidInput, 0, std::move(message));
}
Error Error::corrupt(std::string message) {
  return Error(ErrorKind::Corrupt, 0, std::move(message));
}
Error Error::unsupported(std::string message) {
  return Error(ErrorKind::Unsupported, 0, std::move(message));
}
Error Error::cancelled() { return Error(ErrorKind::Cancelled, 0, {}); }

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = ::strerror_r(error_number, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

std::string Error::message() const {
  if (kind_ == ErrorKind::Io && error_number_ != 0) return os_error_text(error_number_);
  if (kind_ == ErrorKind::Cancelled) return "operation cancelled";
  return message_;
}

std::string Error::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "I/O error: " + (error_number_ != 0 ? os_error_text(error_number_) : message_);
    case ErrorKind::InvalidInput:
      return "invalid input: " + message_;
    case ErrorKind::Corrupt:
      return "corrupt archive: " + message_;
    case ErrorKind::Unsupported:
      return "unsupported feature: " + message_;
    case ErrorKind::Cancelled:
      break;
  }
  return "operation cancelled";
}

}  // namespace kov_core::error
