#include "util/flush_queue.hpp"

#include <liburing.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "util/io.hpp"

namespace kov_core::util {

namespace {

constexpr unsigned MAX_DEPTH = 4096;

// EAGAIN means the kernel is short of memory for the moment; a short wait
// usually clears it, but it must not turn into an endless loop.
constexpr int AGAIN_ATTEMPTS = 1000;

constexpr unsigned SUBMIT_BATCH = 16;

[[nodiscard]] int fsync_retrying(int fd) noexcept {
  if (flush_hook != nullptr) {
    if (const int error = flush_hook(fd, FlushScope::Descriptor)) return error;
  }
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

void FlushQueue::RingDeleter::operator()(io_uring* ring) const noexcept {
  ::io_uring_queue_exit(ring);
  delete ring;
}

FlushQueue::FlushQueue(unsigned depth, std::unique_ptr<io_uring, RingDeleter> ring)
    : depth_(depth), ring_(std::move(ring)) {
  if (ring_) {
    slots_.resize(depth_);
    free_slots_.reserve(depth_);
    for (unsigned i = depth_; i > 0; --i) free_slots_.push_back(i - 1);
  }
}

FlushQueue::FlushQueue(FlushQueue&&) noexcept = default;
FlushQueue& FlushQueue::operator=(FlushQueue&&) noexcept = default;
FlushQueue::~FlushQueue() = default;

FlushQueue FlushQueue::create(unsigned depth, bool allow_concurrent) {
  depth = std::clamp(depth, 1U, MAX_DEPTH);
  std::unique_ptr<io_uring, RingDeleter> ring;
  if (allow_concurrent) {
    auto* raw = new (std::nothrow) io_uring{};
    // Any failure to set up the ring (ENOSYS, EPERM, ENOMEM...) means one
    // flush at a time, which is always correct, only slower.
    if (raw != nullptr && ::io_uring_queue_init(depth, raw, 0) == 0) {
      ring.reset(raw);
    } else {
      delete raw;
    }
  }
  return FlushQueue(depth, std::move(ring));
}

Result<void> FlushQueue::submit(int fd, std::uint64_t tag) {
  if (in_flight_ >= depth_) return std::unexpected(Error::io("flush queue is full"));
  if (!ring_) {
    done_.push_back({tag, fsync_retrying(fd)});
    ++in_flight_;
    return {};
  }
  io_uring_sqe* sqe = ::io_uring_get_sqe(ring_.get());
  if (sqe == nullptr) {
    KOV_TRY(submit_pending());
    sqe = ::io_uring_get_sqe(ring_.get());
    if (sqe == nullptr) return std::unexpected(Error::os(EBUSY));
  }
  if (free_slots_.empty()) {
    free_slots_.push_back(static_cast<unsigned>(slots_.size()));
    slots_.emplace_back();
  }
  const unsigned slot = free_slots_.back();
  free_slots_.pop_back();
  slots_[slot] = {tag, fd};
  ::io_uring_prep_fsync(sqe, fd, 0);
  ::io_uring_sqe_set_data64(sqe, slot);
  ++in_flight_;
  // Handed to the kernel in groups: one system call for several flushes.
  if (++unsubmitted_ >= SUBMIT_BATCH) KOV_TRY(submit_pending());
  return {};
}

Result<void> FlushQueue::submit_pending() {
  int again = 0;
  while (unsubmitted_ > 0) {
    const int rc = ::io_uring_submit(ring_.get());
    if (rc > 0) {
      unsubmitted_ -= std::min<unsigned>(unsubmitted_, static_cast<unsigned>(rc));
      continue;
    }
    if (rc == -EINTR) continue;
    if ((rc == -EAGAIN || rc == 0) && ++again < AGAIN_ATTEMPTS) {
      ::sched_yield();
      continue;
    }
    // The queue is of no further use; its owner abandons what it queued.
    return std::unexpected(Error::os(rc < 0 ? -rc : EAGAIN));
  }
  return {};
}

Result<FlushQueue::Completion> FlushQueue::wait_one() {
  if (in_flight_ == 0) return std::unexpected(Error::io("no flush in flight"));
  if (!ring_) {
    const Completion completion = done_.front();
    done_.pop_front();
    --in_flight_;
    return completion;
  }
  KOV_TRY(submit_pending());
  int again = 0;
  for (;;) {
    io_uring_cqe* cqe = nullptr;
    const int rc = ::io_uring_wait_cqe(ring_.get(), &cqe);
    if (rc == -EINTR) continue;
    if (rc == -EAGAIN && ++again < AGAIN_ATTEMPTS) {
      ::sched_yield();
      continue;
    }
    if (rc < 0) return std::unexpected(Error::os(-rc));
    const auto slot = static_cast<unsigned>(::io_uring_cqe_get_data64(cqe));
    const int result = cqe->res;
    ::io_uring_cqe_seen(ring_.get(), cqe);
    const Slot taken = slots_[slot];
    free_slots_.push_back(slot);
    --in_flight_;
    int error = result < 0 ? -result : 0;
    if (flush_hook != nullptr) {
      if (const int injected = flush_hook(taken.fd, FlushScope::Descriptor)) error = injected;
    }
    return Completion{taken.tag, error};
  }
}

}  // namespace kov_core::util
