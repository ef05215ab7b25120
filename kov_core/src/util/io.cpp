#include "util/io.hpp"
#include "util/test_hooks.hpp"

#include <unistd.h>

#include <cerrno>

namespace kov_core::util {

namespace {

Error write_stalled() { return Error::io("failed to write whole buffer"); }

}  // namespace

Result<void> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) return std::unexpected(write_stalled());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> pwrite_all(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) return std::unexpected(write_stalled());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> pread_exact(int fd, std::span<std::uint8_t> out, std::uint64_t offset) {
  while (!out.empty()) {
    auto n = pread_some(fd, out, offset);
    if (!n) return std::unexpected(std::move(n).error());
    if (*n == 0) return std::unexpected(Error::io("failed to fill whole buffer"));
    out = out.subspan(*n);
    offset += *n;
  }
  return {};
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> out) {
  for (;;) {
    const ssize_t n = ::read(fd, out.data(), out.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(Error::os(errno));
  }
}

Result<std::size_t> pread_some(int fd, std::span<std::uint8_t> out, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(Error::os(errno));
  }
}

Result<void> copy_whole(int from, int to) {
  loff_t offset = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(from, &offset, to, nullptr, 1u << 30, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::os(errno));
    }
    if (n == 0) return {};
  }
}

Result<void> fsync_all(int fd) {
  if (test_hooks::flush != nullptr) {
    if (const int error = test_hooks::flush(fd, test_hooks::FlushScope::Descriptor))
      return std::unexpected(Error::os(error));
  }
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(Error::os(errno));
  }
  return {};
}

Result<void> sync_file_system(int fd) {
  if (test_hooks::flush != nullptr) {
    if (const int error = test_hooks::flush(fd, test_hooks::FlushScope::FileSystem))
      return std::unexpected(Error::os(error));
  }
  if (::syncfs(fd) != 0) return std::unexpected(Error::os(errno));
  return {};
}

Result<void> sync_all_file_systems() {
  if (test_hooks::flush != nullptr) {
    if (const int error = test_hooks::flush(-1, test_hooks::FlushScope::FileSystem))
      return std::unexpected(Error::os(error));
  }
  ::sync();
  return {};
}

}  // namespace kov_core::util
