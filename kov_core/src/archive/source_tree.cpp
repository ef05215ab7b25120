// Creation's inputs reached through descriptors, one directory at a time.

#include "archive/source_tree.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kov_core/utf8.hpp"

namespace kov_core::archive {

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

Error source_changed(std::string_view source) {
  return Error::invalid_input("source changed or is not a regular file: " +
                              util::lossy_utf8(source));
}

// ---- SourceOpener ----

Result<SourceOpener::Place> SourceOpener::place(const WalkedSource& source) {
  const std::string& path = source.source_path;
  const std::size_t length = source.input_length;
  if (length == 0 || length >= path.size()) return Place{AT_FDCWD, path.c_str()};
  const std::string_view input = std::string_view(path).substr(0, length);
  const std::size_t below = path[length - 1] == '/' ? length : length + 1;
  if (chain_.empty() || input != root_) {
    chain_.close();
    const int raw = ::open(std::string(input).c_str(), DIRECTORY_FLAGS);
    if (raw < 0) return std::unexpected(Error::os(errno));
    KOV_TRY(chain_.reset(util::Fd(raw)));
    root_.assign(input);
    const auto seen = roots_.find(root_);
    if (seen != roots_.end() &&
        (seen->second.first != chain_.device() || seen->second.second != chain_.inode()))
      return std::unexpected(source_changed(input));
  }
  const auto up_to = [&](std::size_t level) -> Result<void> {
    while (chain_.depth() > level) {
      auto up = chain_.up();
      if (!up) return std::unexpected(std::move(up).error());
      if (!*up) return std::unexpected(source_changed(source.source_path));
    }
    return {};
  };
  // The directories above the name: those the chain holds already are kept.
  const std::size_t leaf = path.rfind('/') + 1;
  std::size_t level = 0;
  for (std::size_t start = below; start < leaf; ++level) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name = std::string_view(path).substr(start, slash - start);
    start = slash + 1;
    if (level < chain_.depth() && chain_.name(level + 1) == name) continue;
    KOV_TRY(up_to(level));
    KOV_TRY(chain_.down(name));
  }
  KOV_TRY(up_to(level));
  return Place{chain_.fd(), path.c_str() + leaf};
}

Result<void> SourceOpener::check(const WalkedSource& source, const struct stat& st) const {
  if (source.inode != 0 && (static_cast<std::uint64_t>(st.st_dev) != source.device ||
                            static_cast<std::uint64_t>(st.st_ino) != source.inode))
    return std::unexpected(source_changed(source.source_path));
  return {};
}

Result<SourceOpener::OpenFile> SourceOpener::open_file(const WalkedSource& source) {
  auto at = place(source);
  if (!at) return std::unexpected(std::move(at).error());
  // Non-blocking, so that a pipe or device put in the file's place cannot
  // hang creation; for a regular file the flag changes nothing.
  const int raw = chain_.with_relief(
      [&] { return ::openat(at->dir, at->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); });
  if (raw < 0) return std::unexpected(Error::os(errno));
  util::Fd file(raw);
  struct stat st{};
  if (::fstat(file.get(), &st) != 0) return std::unexpected(Error::os(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected(source_changed(source.source_path));
  KOV_TRY(check(source, st));
  return OpenFile{std::move(file), st};
}

Result<struct stat> SourceOpener::status(const WalkedSource& source) {
  auto at = place(source);
  if (!at) return std::unexpected(std::move(at).error());
  struct stat st{};
  if (::fstatat(at->dir, at->name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(Error::os(errno));
  // A directory that has become a link fails as opening through it would.
  if (source.kind == EntryKind::Directory && S_ISLNK(st.st_mode))
    return std::unexpected(Error::os(ELOOP));
  KOV_TRY(check(source, st));
  // An input directory itself: what its entries below are reached from.
  const std::string& path = source.source_path;
  if (S_ISDIR(st.st_mode) && source.input_length != 0 && source.input_length == path.size())
    roots_.try_emplace(path, st.st_dev, st.st_ino);
  return st;
}

}  // namespace kov_core::archive
