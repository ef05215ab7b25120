#include "util/flush_queue.hpp"
#include "util/test_hooks.hpp"

#include <liburing.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "util/io.hpp"

namespace kov_core::util {

namespace {

constexpr unsigned MAX_DEPTH = 4096;

constexpr unsigned SUBMIT_BATCH = 16;

// The outcome as a completion holds it: 0 or the errno.
[[nodiscard]] int fsync_now(int fd) {
  auto flushed = fsync_all(fd);
  return flushed ? 0 : flushed.error().os_error();
}

}  // namespace

FlushQueue::FlushQueue(unsigned depth, std::optional<Ring> ring)
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
  // Without a ring, one flush at a time: always correct, only slower.
  return FlushQueue(depth, allow_concurrent ? Ring::create(depth) : std::nullopt);
}

Result<void> FlushQueue::submit(int fd, std::uint64_t tag) {
  if (in_flight_ >= depth_) return std::unexpected(Error::io("flush queue is full"));
  if (!ring_) {
    done_.push_back({tag, fsync_now(fd)});
    ++in_flight_;
    return {};
  }
  io_uring_sqe* sqe = ring_->entry();
  if (sqe == nullptr) {
    KOV_TRY(ring_->submit());
    sqe = ring_->entry();
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
  // A failure leaves the queue of no further use; its owner abandons it.
  if (ring_->queued() >= SUBMIT_BATCH) KOV_TRY(ring_->submit());
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
  KOV_TRY(ring_->submit());
  auto taken = ring_->wait();
  if (!taken) return std::unexpected(std::move(taken).error());
  const auto slot = static_cast<unsigned>(taken->data);
  const Slot flushed = slots_[slot];
  free_slots_.push_back(slot);
  --in_flight_;
  int error = taken->result < 0 ? -taken->result : 0;
  if (test_hooks::flush != nullptr) {
    if (const int injected = test_hooks::flush(flushed.fd, test_hooks::FlushScope::Descriptor))
      error = injected;
  }
  return Completion{flushed.tag, error};
}

}  // namespace kov_core::util
