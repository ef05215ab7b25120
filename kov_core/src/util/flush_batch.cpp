#include "util/flush_batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/io.hpp"

namespace kov_core::util {

namespace {

constexpr int READ_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

}  // namespace

FlushBatch::FlushBatch(FlushQueue& queue, int anchor) : queue_(queue), anchor_(anchor) {
  // syncfs refuses a descriptor that only names its file (EBADF).
  const int flags = anchor_ >= 0 ? ::fcntl(anchor_, F_GETFL) : -1;
  if (flags < 0 || (flags & O_PATH) != 0) anchor_ = -1;
}

FlushBatch::~FlushBatch() {
  // A queue that can no longer wait has handed nothing more to the kernel
  // that could outlive it: an fsync in flight holds its own file reference.
  while (queue_.in_flight() != 0 && queue_.wait_one()) {
  }
}

void FlushBatch::fail(Error error) {
  if (outcome_) outcome_ = std::unexpected(std::move(error));
}

void FlushBatch::keep_anchor(Fd dir) {
  struct stat status{};
  if (::fstat(dir.get(), &status) != 0) return fail(Error::os(errno));
  if (std::none_of(anchors_.begin(), anchors_.end(),
                   [&](const auto& kept) { return kept.first == status.st_dev; }))
    anchors_.emplace_back(status.st_dev, std::move(dir));
}

void FlushBatch::flush_file_system(dev_t device) {
  if (std::find(whole_.begin(), whole_.end(), device) == whole_.end()) whole_.push_back(device);
}

Result<void> FlushBatch::take_one() {
  auto completion = queue_.wait_one();
  if (!completion) return std::unexpected(std::move(completion).error());
  Fd done = std::move(held_[completion->tag]);
  if (completion->error == EINVAL) {
    // Some file systems refuse to flush a directory on its own; the flush of
    // the whole file system makes its names just as durable.
    struct stat status{};
    if (::fstat(done.get(), &status) != 0) {
      fail(Error::os(errno));
      return {};
    }
    flush_file_system(status.st_dev);
  } else if (completion->error != 0) {
    fail(Error::os(completion->error));
    return {};
  }
  // A directory that could be read serves to flush its file system whole,
  // should another of it not be readable.
  keep_anchor(std::move(done));
  return {};
}

Result<bool> FlushBatch::relieve() {
  if (queue_.in_flight() == 0) return false;
  KOV_TRY(take_one());
  return true;
}

Result<int> FlushBatch::open(int dir, const char* name, int flags) {
  return open_relieved(dir, name, flags, [&] { return relieve(); });
}

Result<void> FlushBatch::flush(Fd dir) {
  if (!outcome_) return {};
  while (queue_.in_flight() >= queue_.depth()) KOV_TRY(take_one());
  const std::uint64_t tag = held_.size();
  const int fd = dir.get();
  held_.push_back(std::move(dir));
  auto submitted = queue_.submit(fd, tag);
  if (!submitted) fail(std::move(submitted).error());
  return {};
}

Result<void> FlushBatch::flush_at(int dir, const char* name) {
  auto opened = open(dir, name, READ_FLAGS);
  if (!opened) return std::unexpected(std::move(opened).error());
  if (*opened >= 0) return flush(Fd(*opened));
  unopened(errno, dir, name);
  return {};
}

void FlushBatch::unopened(int error, int dir, const char* name) {
  // Without read permission a directory cannot be opened to flush it;
  // flushing its whole file system makes it just as durable.
  if (error != EACCES) return fail(Error::os(error));
  struct stat status{};
  const bool known = std::strcmp(name, ".") == 0
                         ? ::fstat(dir, &status) == 0
                         : ::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (!known) return fail(Error::os(error));
  flush_file_system(status.st_dev);
}

Result<void> FlushBatch::climb(int dir) {
  struct stat status{};
  if (::fstat(dir, &status) != 0) {
    fail(Error::os(errno));
    return {};
  }
  const dev_t device = status.st_dev;
  ino_t inode = status.st_ino;
  Fd climbing;
  while (outcome_ && std::find(whole_.begin(), whole_.end(), device) == whole_.end()) {
    const int at = climbing.valid() ? climbing.get() : dir;
    auto up = open(at, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!up) return std::unexpected(std::move(up).error());
    if (*up < 0) {
      unopened(errno, at, ".");  // no search permission: the climb's file system
      break;
    }
    climbing.reset(*up);
    if (::fstat(climbing.get(), &status) != 0) {
      fail(Error::os(errno));
      break;
    }
    // Another file system begins above, or "/" is its own parent.
    if (status.st_dev != device || status.st_ino == inode) break;
    inode = status.st_ino;
    KOV_TRY(flush_at(climbing.get(), "."));
  }
  return {};
}

Result<void> FlushBatch::finish() {
  while (queue_.in_flight() != 0) KOV_TRY(take_one());
  if (!outcome_) return outcome_;
  // syncfs reports the write-back errors of the file system since the
  // descriptor was opened.
  for (const dev_t device : whole_) {
    // The caller's descriptor first: opened earliest, its syncfs reports the
    // most write-back errors.
    struct stat status{};
    const auto kept = std::find_if(anchors_.begin(), anchors_.end(),
                                   [&](const auto& anchor) { return anchor.first == device; });
    if (anchor_ >= 0 && ::fstat(anchor_, &status) == 0 && status.st_dev == device) {
      KOV_TRY(sync_file_system(anchor_));
    } else if (kept != anchors_.end()) {
      KOV_TRY(sync_file_system(kept->second.get()));
    } else {
      // No descriptor of that file system is at hand: all of them.
      KOV_TRY(sync_all_file_systems());
    }
  }
  return {};
}

namespace {

// A handful of directories: one at a time, without an io_uring to set up.
Result<void> sync_held(int dir, int anchor, bool and_above) {
  FlushQueue queue = FlushQueue::create(1, false);
  FlushBatch batch(queue, anchor);
  KOV_TRY(batch.flush_at(dir, "."));
  if (and_above) KOV_TRY(batch.climb(dir));
  return batch.finish();
}

}  // namespace

Result<void> sync_directory(int dir, int anchor) { return sync_held(dir, anchor, false); }

Result<void> sync_directory_and_above(int dir, int new_file) {
  return sync_held(dir, new_file, true);
}

}  // namespace kov_core::util
