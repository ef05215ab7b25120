// Extraction: selection, the space and inode preflight, and the creation of
// every selected entry in index order through the safe file layer. Files are
// flushed many at a time and given their final names in index order, each only
// after its own flush succeeded.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "archive/archive_internal.hpp"
#include "archive/async_writer.hpp"
#include "archive/link_resolution.hpp"
#include "archive/progress.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/resources.hpp"
#include "resource_fork.hpp"
#include "secure_fs/secure_fs.hpp"
#include "util/checked.hpp"
#include "util/dir_stream.hpp"
#include "util/flush_queue.hpp"
#include "util/guard.hpp"
#include "util/io.hpp"

namespace kov_core::archive {

namespace {

using crypto::ArchiveKey;
using secure_fs::platform::PendingFile;
using secure_fs::platform::Root;

// Files waiting for their flush at once: enough to keep a disk's queue full.
constexpr unsigned FLUSH_WINDOW = 128;
// Descriptors kept free beside the waiting files: the walk to a directory,
// the rings of the flush queue and of the large-file writer, and the
// directories a link check keeps open (at most 16).
constexpr std::size_t SPARE_DESCRIPTORS = 24;
// Files from this size on are copied into the page cache by the kernel's
// workers while the next piece is decoded.
constexpr std::uint64_t ASYNC_WRITES_FROM = 4u << 20;
constexpr std::uint64_t RESERVE_CAP = 64ull << 20;

// The descriptors this process may still open: its limit less those open now.
std::size_t free_descriptors() {
  struct rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  std::size_t open = 64;  // a guess where /proc is not mounted
  if (const util::DirStream fds{::opendir("/proc/self/fd")}) {
    open = 0;
    while (const dirent* entry = ::readdir(fds.get()))
      if (entry->d_name[0] != '.') ++open;
    --open;  // the listing's own descriptor
  }
  return limit.rlim_cur > open ? static_cast<std::size_t>(limit.rlim_cur) - open : 0;
}

// A window no larger than the free descriptors allow: each waiting file holds
// two, its own and its directory's.
unsigned flush_window() {
  const std::size_t free = free_descriptors();
  if (free <= SPARE_DESCRIPTORS + 2) return 1;
  return static_cast<unsigned>(std::min<std::size_t>(FLUSH_WINDOW, (free - SPARE_DESCRIPTORS) / 2));
}

// What a directory of the tree costs while it is built, walked and flushed.
constexpr std::uint64_t BYTES_PER_DIRECTORY = 192;

// The directories one extraction may hold in memory: a quarter of the
// available memory, as for the index (256 MiB when it is unknown).
std::size_t max_directories(std::uint32_t available_mib) {
  const std::uint64_t budget =
      available_mib == 0 ? 256ull << 20 : std::uint64_t{available_mib} << 18;
  return static_cast<std::size_t>(std::max<std::uint64_t>(budget / BYTES_PER_DIRECTORY, 1u << 16));
}

// EMFILE or ENFILE: fewer files held open at once may still do.
bool short_of_descriptors(const Error& error) noexcept {
  return error.kind() == ErrorKind::Io &&
         (error.os_error() == EMFILE || error.os_error() == ENFILE);
}

// Verified files waiting for their flush, in index order. Each gets its final
// name once its own flush and those of every file before it are done.
class Committer {
 public:
  explicit Committer(util::FlushQueue& queue) : queue_(queue), capacity_(queue.depth()) {}

  // Takes a written, verified file. Its flush starts once its directory is
  // done or enough files wait; its commit follows in index order. At most
  // capacity_ files wait at once, whatever order their flushes end in.
  Result<void> add(PendingFile file, std::string path) {
    while (waiting_.size() >= capacity_) KOV_TRY(make_room());
    const std::string_view directory =
        std::string_view(path).substr(0, std::min(path.rfind('/'), path.size()));
    if (directory != directory_) {
      KOV_TRY(submit_held());
      directory_.assign(directory);
    }
    waiting_.push_back({std::move(file), std::move(path)});
    ++held_;
    if (held_ >= hold_limit()) KOV_TRY(submit_held());
    return {};
  }

  // Flushes of files still in the directory being filled wait: each would
  // write that directory again while its next names are made.
  Result<void> submit_held() {
    while (held_ > 0) {
      while (queue_.in_flight() >= queue_.depth()) KOV_TRY(take_one());
      Waiting& w = waiting_[waiting_.size() - held_];
      auto submitted = queue_.submit(w.file.fd(), first_tag_ + (waiting_.size() - held_));
      if (!submitted) {
        abandon();
        return submitted;
      }
      --held_;
    }
    return commit_ready();
  }

  // Whether `path` lies below the final name of a file still waiting, which
  // must then be in place first. Compares with each waiting path rather than
  // looking up each prefix: linear in the path however deep it is.
  [[nodiscard]] bool blocks(std::string_view path) const {
    for (const Waiting& w : waiting_) {
      const std::string_view file = w.path;
      if (path.size() > file.size() && path[file.size()] == '/' && path.starts_with(file))
        return true;
    }
    return false;
  }

  // Commits every waiting file in order; the first failure is returned and
  // the files after it are released without a name.
  Result<void> drain() {
    KOV_TRY(submit_held());
    while (!waiting_.empty()) {
      KOV_TRY(commit_ready());
      if (!waiting_.empty()) KOV_TRY(take_one());
    }
    return {};
  }

  [[nodiscard]] std::uint64_t committed() const noexcept { return committed_; }
  [[nodiscard]] std::size_t waiting() const noexcept { return waiting_.size(); }
  // After the system ran out of descriptors: half as many files wait from now on.
  void shrink() noexcept { capacity_ = std::max<std::size_t>(1, capacity_ / 2); }

 private:
  struct Waiting {
    PendingFile file;
    std::string path;
    bool flushed = false;
    int error = 0;
  };

  Result<void> take_one() {
    auto done = queue_.wait_one();
    if (!done) {
      abandon();
      return std::unexpected(std::move(done).error());
    }
    Waiting& w = waiting_.at(done->tag - first_tag_);
    w.flushed = true;
    w.error = done->error;
    return {};
  }

  // Starts the flushes held back, or waits for one to end, and commits what can be.
  Result<void> make_room() {
    if (held_ > 0) return submit_held();
    KOV_TRY(take_one());
    return commit_ready();
  }

  Result<void> commit_ready() {
    while (!waiting_.empty() && waiting_.front().flushed) {
      Waiting w = std::move(waiting_.front());
      waiting_.pop_front();
      ++first_tag_;
      Result<void> placed = w.error != 0 ? Result<void>(std::unexpected(Error::os(w.error)))
                                         : (w.file.mark_flushed(), std::move(w.file).commit());
      if (!placed) {
        abandon();
        return placed;
      }
      ++committed_;
      progress_add(1);
    }
    return {};
  }

  // After a failure no later file gets its name: each removes its temporary file.
  void abandon() noexcept {
    held_ = 0;
    waiting_.clear();
  }

  util::FlushQueue& queue_;
  std::deque<Waiting> waiting_;
  std::uint64_t first_tag_ = 0;  // the tag of waiting_.front()
  std::size_t held_ = 0;         // the last files of waiting_, not yet submitted
  std::string directory_;        // where the held files are

  [[nodiscard]] std::size_t hold_limit() const noexcept {
    return std::max<std::size_t>(1, capacity_ * 3 / 4);
  }
  std::size_t capacity_;
  std::uint64_t committed_ = 0;
};

struct Selected {
  std::size_t index;
  const Entry* entry;
};

Result<std::vector<Selected>> select(const std::vector<Entry>& entries,
                                     std::span<const std::string> names) {
  std::vector<Selected> selected;
  if (names.empty()) {
    selected.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) selected.push_back({i, &entries[i]});
    return selected;
  }
  const std::unordered_set<std::string_view> wanted(names.begin(), names.end());
  std::unordered_set<std::string_view> stored;
  stored.reserve(entries.size());
  for (const Entry& entry : entries) stored.insert(entry.path);
  for (const std::string_view name : wanted)
    if (!stored.contains(name))
      return std::unexpected(
          Error::invalid_input("selected entry was not found: " + std::string(name)));
  std::vector<std::string_view> directories;
  for (const Entry& entry : entries)
    if (entry.kind == EntryKind::Directory && wanted.contains(entry.path))
      directories.push_back(entry.path);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view path = entries[i].path;
    bool take = wanted.contains(path);
    for (std::size_t d = 0; !take && d < directories.size(); ++d) {
      const std::string_view dir = directories[d];
      take = path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
    }
    if (take) selected.push_back({i, &entries[i]});
  }
  return selected;
}

}  // namespace

Result<Preflight> preflight_extraction(std::span<const Entry* const> selected) {
  std::unordered_map<std::string_view, std::uint64_t> owners;
  for (const Entry* entry : selected)
    if (entry->kind == EntryKind::File) owners.emplace(entry->path, entry->original_size);
  Preflight need;
  for (const Entry* entry : selected) {
    if (entry->kind == EntryKind::ResourceFork) {
      const auto owner = owners.find(entry->path);
      if (owner == owners.end())
        return std::unexpected(
            Error::corrupt("resource fork has no selected owner: " + entry->path));
      auto bytes = util::checked_add(need.bytes, owner->second);
      if (bytes) bytes = util::checked_add(*bytes, entry->original_size);
      if (!bytes) return std::unexpected(Error::corrupt("resource-fork staging size overflow"));
      need.bytes = *bytes;
      continue;
    }
    if (need.entries == UINT64_MAX)
      return std::unexpected(Error::corrupt("extraction entry count overflow"));
    ++need.entries;
    if (entry->kind == EntryKind::File) {
      const auto bytes = util::checked_add(need.bytes, entry->original_size);
      if (!bytes) return std::unexpected(Error::corrupt("total extracted size overflow"));
      need.bytes = *bytes;
    }
  }
  return need;
}

Result<void> check_capacity(const Preflight& need, std::uint64_t free_blocks,
                            std::uint64_t fragment_size, std::uint64_t free_inodes) {
  const std::uint64_t available = util::saturating_mul(free_blocks, fragment_size);
  const std::uint64_t safe = available - std::min(available / 20, RESERVE_CAP);
  if (need.bytes > safe)
    return std::unexpected(Error::invalid_input(
        "extraction requires " + std::to_string(need.bytes) + " bytes but only " +
        std::to_string(safe) + " bytes are safely available"));
  const std::uint64_t usable = free_inodes < 1024 ? 0 : free_inodes - 1024;
  if (free_inodes != 0 && need.entries > usable)
    return std::unexpected(Error::invalid_input(
        "extraction requires " + std::to_string(need.entries) + " filesystem entries but only " +
        std::to_string(free_inodes) + " inodes are available"));
  return {};
}

namespace {

class Extraction {
 public:
  Extraction(const Archive& archive, Root& root, const ArchiveKey* key, bool overwrite,
             util::FlushQueue& queue, std::span<const Entry* const> selected)
      : archive_(archive),
        root_(root),
        key_(key),
        overwrite_(overwrite),
        large_(4, 1u << 20, queue.mode() == util::FlushQueue::Mode::Concurrent),
        committer_(queue),
        targets_(archive, selected, root.fd()) {
    // Each link is checked against all the selected ones, later ones included.
    targets_.decode(decoder_, key_);
  }

  // Creates one entry; a failure first puts every earlier file in place.
  Result<void> create(const Selected& item) {
    auto done = create_unordered(item);
    if (done) return done;
    KOV_TRY(committer_.drain());
    return done;
  }

  Result<void> finish() { return committer_.drain(); }
  [[nodiscard]] std::uint64_t created() const noexcept { return committer_.committed() + links_; }

 private:
  // Runs an operation of the file layer; when the descriptors run out, the
  // waiting files are put in place first, fewer wait from then on, and the
  // operation is tried again, until one file at a time cannot be done.
  template <class Operation>
  auto with_descriptors(Operation operation) -> decltype(operation()) {
    for (;;) {
      auto result = operation();
      if (result || !short_of_descriptors(result.error()) || committer_.waiting() == 0)
        return result;
      KOV_TRY(committer_.drain());
      committer_.shrink();
    }
  }

  Result<void> create_unordered(const Selected& item) {
    KOV_TRY(check_cancelled());
    const Entry& entry = *item.entry;
    auto relative = validate_stored_path(entry.path);
    if (!relative) return std::unexpected(std::move(relative).error());
    // What lies below a file still waiting for its name meets that file, as
    // it would had the file been committed at once.
    if (committer_.blocks(entry.path)) KOV_TRY(committer_.drain());
    switch (entry.kind) {
      case EntryKind::Directory:
        KOV_TRY(with_descriptors([&] { return root_.ensure_directory(*relative); }));
        progress_add(1);
        return {};
      case EntryKind::File:
        return file(item, *relative);
      case EntryKind::Symlink:
        // Links are made in order with the files around them.
        KOV_TRY(committer_.drain());
        return link(item, *relative);
      case EntryKind::ResourceFork:
        KOV_TRY(committer_.drain());
        return fork(item, *relative);
    }
    return {};
  }

  Result<void> file(const Selected& item, const std::filesystem::path& relative) {
    const Entry& entry = *item.entry;
    auto pending = with_descriptors([&] { return root_.create_file(relative, overwrite_); });
    if (!pending) return std::unexpected(std::move(pending).error());
    if (entry.original_size >= ASYNC_WRITES_FROM) {
      large_.begin(pending->fd());
      KOV_TRY(decoder_.decode(archive_, item.index, entry, key_, &large_));
      KOV_TRY(large_.finish());
    } else {
      // Decoded pieces are large, so they go straight to the file, unbuffered.
      format::BufferedWriter out(pending->fd(), 1);
      KOV_TRY(decoder_.decode(archive_, item.index, entry, key_, &out));
      KOV_TRY(out.flush());
    }
    KOV_TRY(pending->set_mode(entry.mode));
    return committer_.add(std::move(*pending), entry.path);
  }

  Result<void> link(const Selected& item, const std::filesystem::path& relative) {
    auto target = targets_.take(item.index);
    if (!target) return std::unexpected(std::move(target).error());
    // The directories its ".." steps stand on exist before the link does.
    for (const std::string& directory : targets_.directories_to_make())
      KOV_TRY(with_descriptors([&] { return root_.ensure_directory(directory); }));
    KOV_TRY(with_descriptors([&] { return root_.create_symlink(relative, *target); }));
    made_links_.push_back(item.index);
    progress_add(1);
    ++links_;
    return {};
  }

 public:
  // Every link this run made, resolved by the kernel beneath the destination:
  // what the checks above cannot see (a file system whose lookups fold case,
  // a directory swapped meanwhile) ends here. One that leads outside is
  // removed and fails the run as an escape.
  Result<void> verify_links() {
    Result<void> outcome;
    for (const std::size_t index : made_links_) {
      const std::string& path = archive_.entries()[index].path;
      auto inside = root_.resolves_beneath(path);
      if (!inside) return std::unexpected(std::move(inside).error());
      if (*inside) continue;
      KOV_TRY(root_.remove_symlink(path));
      if (outcome) outcome = std::unexpected(unsafe_link(path, {LinkRefusal::Kind::Escapes}));
    }
    return outcome;
  }

 private:
  Result<void> fork(const Selected& item, const std::filesystem::path& relative) {
    const Entry& entry = *item.entry;
    auto owner = root_.open_existing_file(relative);
    if (!owner)
      return std::unexpected(
          Error::corrupt("resource fork has no safe data-fork owner: " + entry.path));
    auto staging = root_.create_file(relative, true);
    if (!staging) return std::unexpected(std::move(staging).error());
    KOV_TRY(util::copy_whole(owner->get(), staging->fd()));
    const int duplicate = ::fcntl(staging->fd(), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) return std::unexpected(Error::os(errno));
    auto writer = resource_fork::platform::Writer::create_file(util::Fd(duplicate));
    if (!writer) return std::unexpected(std::move(writer).error());
    KOV_TRY(decoder_.decode(archive_, item.index, entry, key_, &*writer));
    KOV_TRY(staging->set_mode(entry.mode));
    KOV_TRY(std::move(*staging).commit());
    progress_add(1);
    return {};
  }

  const Archive& archive_;
  Root& root_;
  const ArchiveKey* key_;
  bool overwrite_;
  Decoder decoder_;
  AsyncWriter large_;
  Committer committer_;
  std::uint64_t links_ = 0;
  std::vector<std::size_t> made_links_;  // by index, in the order made
  LinkResolution targets_;
};

Result<std::uint64_t> extract_unguarded(const Archive& archive,
                                        const std::filesystem::path& destination,
                                        std::span<const std::string> names, bool overwrite,
                                        const crypto::EncryptionCredential& credential,
                                        const ExtractionOptions& options) {
  CANCELLED.store(false, std::memory_order_relaxed);
  begin_progress(0);
  auto key = archive.authenticate_index(credential);
  if (!key) return std::unexpected(std::move(key).error());
  auto selected = select(archive.entries(), names);
  if (!selected) return std::unexpected(std::move(selected).error());
  auto root = Root::open(destination);
  if (!root) return std::unexpected(std::move(root).error());

  std::vector<const Entry*> chosen;
  chosen.reserve(selected->size());
  for (const Selected& s : *selected) chosen.push_back(s.entry);
  auto need = preflight_extraction(chosen);
  if (!need) return std::unexpected(std::move(need).error());
  // The directories the entries lie in: those still missing need inodes too,
  // and all of them are flushed at the end.
  secure_fs::DirectoryTree directories(max_directories(resources::available_memory_mib()));
  for (const Entry* entry : chosen)
    KOV_TRY(directories.add(entry->path, entry->kind == EntryKind::Directory));
  auto missing = root->missing_directories(directories);
  if (!missing) return std::unexpected(std::move(missing).error());
  const auto entries = util::checked_add(need->entries, *missing);
  if (!entries) return std::unexpected(Error::corrupt("extraction entry count overflow"));
  need->entries = *entries;
  struct statvfs fs{};
  if (::fstatvfs(root->fd(), &fs) != 0) return std::unexpected(Error::os(errno));
  KOV_TRY(check_capacity(*need, fs.f_bavail, fs.f_frsize, fs.f_favail));

  if (selected->empty()) return std::uint64_t{0};
  begin_progress(progress_units(chosen, [](const Entry* entry) { return entry->original_size; }));

  const unsigned window = options.flush_window != 0 ? options.flush_window : flush_window();
  util::FlushQueue queue =
      util::FlushQueue::create(options.concurrent_flushes ? window : 1, options.concurrent_flushes);
  Extraction extraction(archive, *root, *key ? &**key : nullptr, overwrite, queue, chosen);
  Result<void> run;
  for (const Selected& item : *selected)
    if (run = extraction.create(item); !run) break;
  if (run) run = extraction.finish();
  if (options.before_link_check) options.before_link_check();
  // Also after a failure: what was made stays behind.
  const Result<void> verified = extraction.verify_links();
  KOV_TRY(run);
  KOV_TRY(verified);
  // "extracted" must mean that every name of this run survives a power cut,
  // also in directories that an earlier, failed run made and never flushed.
  KOV_TRY(root->sync(directories, queue));
  return extraction.created();
}

}  // namespace

Result<std::uint64_t> extract_archive(const Archive& archive,
                                      const std::filesystem::path& destination,
                                      std::span<const std::string> selected, bool overwrite,
                                      const crypto::EncryptionCredential& credential,
                                      const ExtractionOptions& options) {
  return util::guarded([&] {
    return extract_unguarded(archive, destination, selected, overwrite, credential, options);
  });
}

Result<std::uint64_t> Archive::extract_with_credential(
    const std::filesystem::path& destination, std::span<const std::string> selected, bool overwrite,
    const crypto::EncryptionCredential& credential) const {
  return extract_archive(*this, destination, selected, overwrite, credential, {});
}

Result<std::uint64_t> Archive::extract(const std::filesystem::path& destination,
                                       std::span<const std::string> selected,
                                       bool overwrite) const {
  return extract_with_credential(destination, selected, overwrite, crypto::EncryptionCredential());
}

}  // namespace kov_core::archive
