#include "util/directory_chain.hpp"

#include <unistd.h>

#include <algorithm>

namespace kov_core::util {

Result<void> DirectoryChain::push(Fd fd, std::string name) {
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(Error::os(errno));
  levels_.push_back({std::move(fd), std::move(name), st.st_dev, st.st_ino});
  while (levels_.size() - first_open_ > window_) levels_[first_open_++].fd.reset();
  return {};
}

bool DirectoryChain::relieve() noexcept {
  const std::size_t open = levels_.size() - first_open_;
  if (open <= 1) return false;
  // Half, so that the other opens of the process find room too.
  window_ = std::max<std::size_t>(1, open / 2);
  while (levels_.size() - first_open_ > window_) levels_[first_open_++].fd.reset();
  return true;
}

void DirectoryChain::close() noexcept {
  levels_.clear();
  first_open_ = 0;
}

Result<void> DirectoryChain::reset(Fd root) {
  close();
  return push(std::move(root), {});
}

Result<void> DirectoryChain::down(std::string_view name) {
  std::string text(name);
  if (text.find('\0') != std::string::npos)
    return std::unexpected(Error::invalid_input("path contains NUL"));
  const int raw = with_relief(
      [&] { return ::openat(fd(), text.c_str(), access_ | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (raw < 0) return std::unexpected(Error::os(errno));
  return push(Fd(raw), std::move(text));
}

Result<bool> DirectoryChain::up() {
  const std::size_t above = levels_.size() - 2;
  if (above < first_open_) {
    const int raw =
        with_relief([&] { return ::openat(fd(), "..", access_ | O_DIRECTORY | O_CLOEXEC); });
    if (raw < 0) return std::unexpected(Error::os(errno));
    Fd parent(raw);
    struct stat st{};
    if (::fstat(parent.get(), &st) != 0) return std::unexpected(Error::os(errno));
    if (st.st_dev != levels_[above].device || st.st_ino != levels_[above].inode) return false;
    levels_[above].fd = std::move(parent);
    first_open_ = above;
  }
  levels_.pop_back();
  return true;
}

}  // namespace kov_core::util
