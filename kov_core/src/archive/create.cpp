// Archive creation: checks, the settings of a new archive, collection of the
// inputs, the sort into index order, and the move of the finished partial
// file into place.

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <unordered_set>

#include "archive/archive_internal.hpp"
#include "archive/progress.hpp"
#include "archive/source_tree.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/path_rules.hpp"
#include "kov_core/resources.hpp"
#include "kov_core/utf8.hpp"
#include "secure_fs/secure_fs.hpp"
#include "util/checked.hpp"
#include "util/dir_stream.hpp"
#include "util/files.hpp"
#include "util/flush_batch.hpp"
#include "util/guard.hpp"
#include "util/random.hpp"
#include "util/test_hooks.hpp"

namespace kov_core::archive {

namespace {

namespace fs = std::filesystem;
using crypto::EncryptionMode;

std::string shown(const fs::path& path) { return util::lossy_utf8(path.native()); }

// A failure of the walk at `path`, with the failure's own text after the path.
Error walk_error(std::string_view path, const Error& error) {
  return Error::invalid_input("IO error for operation on " + util::lossy_utf8(path) + ": " +
                              error.message());
}

Error walk_error(std::string_view path, int error_number) {
  return walk_error(path, Error::os(error_number));
}

// The last normal component, ignoring trailing slashes and "." parts; none for
// "", ".", "/", or a path ending in "..".
std::optional<std::string> input_name(const fs::path& input) {
  const std::string& text = input.native();
  std::optional<std::string> last;
  bool first = true;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t slash = std::min(text.find('/', start), text.size());
    const std::string part = text.substr(start, slash - start);
    if (slash == 0 && !text.empty()) {
      last.reset();  // the root
    } else if (part == ".") {
      if (first) last.reset();
    } else if (part == "..") {
      last.reset();
    } else if (!part.empty()) {
      last = part;
    }
    if (!part.empty() || slash == 0) first = false;
    start = slash + 1;
  }
  return last;
}

class Collector {
 public:
  Result<void> add_input(const fs::path& input) {
    const auto name = input_name(input);
    if (!name) return std::unexpected(Error::invalid_input("input has no name: " + shown(input)));
    auto top = portable_path(*name);
    if (!top) return std::unexpected(std::move(top).error());
    KOV_TRY(register_portable_path(registry_, *top));
    struct stat st{};
    if (::lstat(input.c_str(), &st) != 0) return std::unexpected(Error::os(errno));
    if (S_ISREG(st.st_mode)) {
      KOV_TRY(take(*top));
      sources_.push_back(
          {input, *top, std::nullopt, static_cast<std::uint64_t>(st.st_size), EntryKind::File});
      sources_.back().device = st.st_dev;
      sources_.back().inode = st.st_ino;
    } else if (S_ISLNK(st.st_mode)) {
      KOV_TRY(add_link(input, *top));
      sources_.back().device = st.st_dev;
      sources_.back().inode = st.st_ino;
    } else if (S_ISDIR(st.st_mode)) {
      KOV_TRY(take(*top));
      const std::string& root = input.native();
      input_length_ = root.size();
      sources_.push_back({input, *top, std::nullopt, 0, EntryKind::Directory});
      sources_.back().input_length = input_length_;
      const std::size_t relative_start =
          root.empty() || root.back() == '/' ? root.size() : root.size() + 1;
      KOV_TRY(walk(root, relative_start, *top, sources_.size() - 1));
    } else {
      return std::unexpected(Error::invalid_input("unsupported file type: " + shown(input)));
    }
    return {};
  }

  std::vector<WalkedSource>& sources() { return sources_; }

 private:
  Result<void> take(const std::string& archive_path) {
    if (!taken_.insert(archive_path).second)
      return std::unexpected(Error::invalid_input("duplicate archive path: " + archive_path));
    return {};
  }

  Result<void> add_link(const fs::path& path, const std::string& archive_path) {
    KOV_TRY(take(archive_path));
    auto target = read_symlink_target(path, archive_path);
    if (!target) return std::unexpected(std::move(target).error());
    const std::uint64_t size = target->size();
    sources_.push_back({path, archive_path, std::move(*target), size, EntryKind::Symlink});
    return {};
  }

  // One directory of the walk: its children, read and sorted when it is
  // entered, and the next one to visit.
  struct Child {
    std::string name;
    unsigned char type;
    std::uint64_t size = 0;  // regular files
    dev_t device = 0;        // all but directories, known once opened
    ino_t inode = 0;
    int stat_error = 0;  // a failed status query, reported when the child is visited
  };
  struct Level {
    std::string path;  // ends with "/"
    std::string archive_dir;
    std::vector<Child> children;
    std::size_t next = 0;
  };

  // The contents of `root`, depth first in byte order of the names, each
  // directory before what it holds. Each directory is opened from its parent
  // without following a link, so no component below the input is ever
  // followed, and no system call sees a path longer than a name. The walk
  // keeps its own stack, so memory, not the call stack, bounds the depth.
  // Paths are built as text for the messages and the writer: `relative_start`
  // is where the part below the input begins.
  Result<void> walk(const std::string& root, std::size_t relative_start,
                    const std::string& archive_root, std::size_t top) {
    const int raw = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (raw < 0) return std::unexpected(walk_error(root, errno));
    util::DirectoryChain chain;
    KOV_TRY(chain.reset(util::Fd(raw)));
    sources_[top].device = chain.device();
    sources_[top].inode = chain.inode();
    std::vector<Level> stack;
    KOV_TRY(enter(stack, chain, root, archive_root));
    while (!stack.empty()) {
      Level& level = stack.back();
      if (level.next == level.children.size()) {
        stack.pop_back();
        if (stack.empty()) break;
        auto up = chain.up();
        if (!up) return std::unexpected(walk_error(level_path(stack), up.error()));
        if (!*up) return std::unexpected(source_changed(level_path(stack)));
        continue;
      }
      Child& child = level.children[level.next++];
      std::string path = level.path + child.name;
      auto archive_path = visit(chain, path, relative_start, level.archive_dir, child);
      if (!archive_path) return std::unexpected(std::move(archive_path).error());
      if (child.type == DT_DIR) {
        auto opened = chain.down(child.name);
        if (!opened) return std::unexpected(walk_error(path, opened.error()));
        sources_.back().device = chain.device();
        sources_.back().inode = chain.inode();
        std::string archive_dir = std::move(*archive_path);
        KOV_TRY(enter(stack, chain, std::move(path), std::move(archive_dir)));
      }
    }
    return {};
  }

  static std::string level_path(const std::vector<Level>& stack) {
    std::string path = stack.back().path;
    if (path.size() > 1) path.pop_back();
    return path;
  }

  // Reads the names in the chain's deepest directory, `dir`, and the status
  // of everything but its directories, then pushes it onto the walk's stack.
  Result<void> enter(std::vector<Level>& stack, util::DirectoryChain& chain, std::string dir,
                     std::string archive_dir) {
    const int raw = chain.with_relief([&] { return ::fcntl(chain.fd(), F_DUPFD_CLOEXEC, 0); });
    if (raw < 0) return std::unexpected(walk_error(dir, errno));
    util::Fd fd(raw);
    util::DirStream stream(::fdopendir(fd.get()));
    if (!stream) return std::unexpected(walk_error(dir, errno));
    (void)fd.release();  // the stream closes it
    std::vector<Child> children;
    errno = 0;
    while (const dirent* d = ::readdir(stream.get())) {
      const std::string_view name(d->d_name);
      if (name != "." && name != "..") children.push_back({std::string(name), d->d_type});
      errno = 0;
    }
    const int read_error = errno;
    if (read_error != 0) return std::unexpected(walk_error(dir, read_error));
    for (Child& child : children) {
      if (child.type == DT_DIR) continue;
      struct stat st{};
      if (::fstatat(chain.fd(), child.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        child.stat_error = errno;
        continue;
      }
      child.type = S_ISREG(st.st_mode)   ? DT_REG
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_FIFO;
      child.size = static_cast<std::uint64_t>(st.st_size);
      child.device = st.st_dev;
      child.inode = st.st_ino;
    }
    stream.reset();
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    if (dir.empty() || dir.back() != '/') dir += '/';
    stack.push_back({std::move(dir), std::move(archive_dir), std::move(children), 0});
    return {};
  }

  // Adds one child's source; returns its archive path.
  Result<std::string> visit(const util::DirectoryChain& chain, const std::string& path,
                            std::size_t relative_start, const std::string& archive_dir,
                            const Child& child) {
    std::string archive_path;
    archive_path.reserve(archive_dir.size() + 1 + child.name.size());
    archive_path += archive_dir;
    archive_path += '/';
    if (util::is_valid_utf8(child.name) && path_rules::archive_component(child.name)) {
      archive_path += child.name;
    } else {
      auto portable = portable_path(path.substr(relative_start));  // for its exact message
      if (!portable) return std::unexpected(std::move(portable).error());
      archive_path += *portable;
    }
    KOV_TRY(register_portable_path(registry_, archive_path));
    KOV_TRY(take(archive_path));
    if (child.stat_error != 0) return std::unexpected(walk_error(path, child.stat_error));
    WalkedSource source{{path, archive_path, std::nullopt, 0, EntryKind::File}};
    source.input_length = input_length_;
    source.device = child.device;
    source.inode = child.inode;
    switch (child.type) {
      case DT_DIR:
        source.kind = EntryKind::Directory;
        break;
      case DT_REG:
        source.size = child.size;
        break;
      case DT_LNK: {
        auto target = read_symlink_target_at(chain.fd(), child.name, path, archive_path);
        if (!target) return std::unexpected(std::move(target).error());
        source.size = target->size();
        source.inline_data = std::move(*target);
        source.kind = EntryKind::Symlink;
        break;
      }
      default:
        return std::unexpected(
            Error::invalid_input("unsupported file type: " + util::lossy_utf8(path)));
    }
    sources_.push_back(std::move(source));
    return archive_path;
  }

  CollisionRegistry registry_;
  std::unordered_set<std::string> taken_;
  std::vector<WalkedSource> sources_;
  std::size_t input_length_ = 0;  // of the input being walked
};

}  // namespace

fs::path partial_name(const fs::path& output) {
  std::string text = output.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::size_t slash = text.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = text.rfind('.');
  if (dot != std::string::npos && dot > name_start) {
    const std::string extension = text.substr(dot + 1);
    return text.substr(0, dot) + "." +
           (util::is_valid_utf8(extension) ? extension : std::string("kov")) + ".partial";
  }
  return text + ".kov.partial";
}

Result<void> move_into_place(int dir, const std::string& from, const std::string& to,
                             std::optional<OutputNode> replaceable) {
  auto moved = secure_fs::platform::move_no_replace(dir, from.c_str(), to.c_str());
  // Once the archive holds its name, a temporary name left beside it is no failure.
  if (moved) return {};
  // The dangling link that passed the output check is replaced, as a plain
  // rename would; anything else that holds the name now appeared meanwhile.
  struct stat st{};
  if (moved.error().os_error() == EEXIST && replaceable &&
      ::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
      st.st_dev == replaceable->device && st.st_ino == replaceable->inode) {
    if (::renameat(dir, from.c_str(), dir, to.c_str()) == 0) return {};
    return std::unexpected(Error::os(errno));
  }
  return std::unexpected(std::move(moved).error());
}

Result<void> check_password_memory(EncryptionMode mode, std::uint32_t available_mib) {
  // An unknown figure (0) is no reason to refuse.
  if (mode == EncryptionMode::Password && available_mib >= 1 && available_mib <= 31)
    return std::unexpected(Error::invalid_input(
        "not enough available memory for password encryption (32 MiB required)"));
  return {};
}

Result<void> check_reader_limits(std::uint64_t entries, std::uint64_t longest_path,
                                 std::uint64_t index_bytes) {
  if (entries > MAX_ENTRIES) return std::unexpected(Error::invalid_input("too many entries"));
  if (longest_path > MAX_PATH_BYTES) return std::unexpected(Error::invalid_input("path too long"));
  if (index_bytes > MAX_INDEX_BYTES)
    return std::unexpected(Error::invalid_input("archive index would exceed 1 GiB"));
  return {};
}

namespace {

Result<void> create_unguarded(const fs::path& output, std::span<const fs::path> inputs,
                              CreateOptions& options, format::Version version) {
  CANCELLED.store(false, std::memory_order_relaxed);
  begin_progress(0);
  if (inputs.empty())
    return std::unexpected(Error::invalid_input("at least one input is required"));
  // A directory that does not open holds no output either; the failure is
  // reported when the temporary file is to be made in it.
  const auto place = util::open_parent_directory(output);
  struct stat st{};
  if (place && ::fstatat(place->dir.get(), place->name.c_str(), &st, 0) == 0)
    return std::unexpected(Error::invalid_input("output already exists: " + shown(output)));
  // A link whose target is missing passes the check; the final move may replace that link.
  std::optional<OutputNode> dangling;
  if (place && ::fstatat(place->dir.get(), place->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    dangling = OutputNode{st.st_dev, st.st_ino};
  const std::uint32_t available = resources::inspect().available_mib;
  const crypto::EncryptionCredential& credential = options.credential;
  if (credential.mode() == EncryptionMode::Password && credential.bytes().size() < 14)
    return std::unexpected(Error::invalid_input(
        "new encrypted archives require a password containing at least 14 bytes"));

  ArchiveSettings settings = new_archive_settings(available, credential.mode());
  KOV_TRY(check_password_memory(credential.mode(), available));
  if (credential.mode() != EncryptionMode::None) {
    KOV_TRY(util::random_bytes(settings.salt));
    KOV_TRY(util::random_bytes(settings.nonce_prefix));
  }

  Collector collector;
  for (const fs::path& input : inputs) KOV_TRY(collector.add_input(input));
  std::vector<WalkedSource>& sources = collector.sources();
  // The taken set makes archive paths unique, so the order of the paths alone is
  // the index order and no tie between kinds can arise.
  std::sort(sources.begin(), sources.end(), [](const WalkedSource& a, const WalkedSource& b) {
    return a.archive_path < b.archive_path;
  });
  const bool sealed = credential.mode() != EncryptionMode::None && version == format::VERSION_0_5_0;
  std::uint64_t longest = 0;
  std::uint64_t index_bytes =
      INDEX_PREFIX_SIZE + SETTINGS_SIZE + (sealed ? crypto::SEALED_ENVELOPE_OVERHEAD : 0);
  for (const WalkedSource& source : sources) {
    longest = std::max<std::uint64_t>(longest, source.archive_path.size());
    index_bytes += ENTRY_FIXED_SIZE + source.archive_path.size();
  }
  KOV_TRY(check_reader_limits(sources.size(), longest, index_bytes));

  begin_progress(progress_units(sources, [](const WalkedSource& source) { return source.size; }));
  if (util::test_hooks::after_walk != nullptr) util::test_hooks::after_walk();

  if (!place) return std::unexpected(place.error());
  const int dir = place->dir.get();
  const std::string partial = partial_name(place->name);
  // A failure, even an exception on its way to the guard, removes the
  // partial file this call created; one that was already there stays.
  auto written = create_into_file(dir, partial, sources, credential, settings, version);
  if (!written) return std::unexpected(std::move(written).error());
  // Complete and on disk: a failed move leaves it under the partial name.
  const util::Fd file = std::move(*written).commit();
  KOV_TRY(move_into_place(dir, partial, place->name, dangling));
  // "created" must mean the archive survives a power cut: its new name too,
  // and the names that lead to it, whoever made them.
  return util::sync_directory_and_above(dir, file.get());
}

}  // namespace

ArchiveSettings new_archive_settings(std::uint32_t available, EncryptionMode mode) {
  ArchiveSettings s;
  s.profile = CompressionProfile::Current;
  s.compression_level = 3;
  s.constrained_at_creation = available >= 1 && available <= 255;
  s.memory_limit_mib = available == 0 ? 64 : std::clamp<std::uint32_t>(available / 4, 16, 64);
  s.available_memory_mib = available;
  s.thread_limit = 1;
  s.store_threshold_permille = 1000;
  s.io_buffer_size = available == 0 || available >= 256 ? 1'048'576
                     : available >= 128                 ? 524'288
                                                        : 262'144;
  s.encryption = mode;
  if (mode == EncryptionMode::Password) {
    s.kdf_memory_kib = s.memory_limit_mib * 1024;
    s.kdf_iterations = 3;
    s.kdf_lanes = 1;
  }
  if (mode != EncryptionMode::None) s.encryption_chunk_size = 65'536;
  return s;
}

Result<void> create_archive_version(const fs::path& output, std::span<const fs::path> inputs,
                                    CreateOptions options, format::Version version) {
  return util::guarded([&] { return create_unguarded(output, inputs, options, version); });
}

Result<void> create_archive(const fs::path& output, std::span<const fs::path> inputs,
                            CreateOptions options) {
  return create_archive_version(output, inputs, std::move(options), format::VERSION_0_5_0);
}

Result<void> create_archive_0_4(const fs::path& output, std::span<const fs::path> inputs,
                                CreateOptions options) {
  return create_archive_version(output, inputs, std::move(options), format::VERSION_0_4_0);
}

}  // namespace kov_core::archive
