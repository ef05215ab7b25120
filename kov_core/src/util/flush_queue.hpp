#pragma once
// Flushes descriptors to disk, many at once through io_uring where the kernel
// allows it, one after the other where it does not. Move-only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "kov_core/error.hpp"
#include "util/ring.hpp"

namespace kov_core::util {

class FlushQueue {
 public:
  enum class Mode { Concurrent, OneAtATime };
  struct Completion {
    std::uint64_t tag;
    int error;  // 0, or the errno of the failed fsync
  };

  // Concurrent when `allow_concurrent` and an io_uring can be set up (it
  // cannot under a seccomp filter, with kernel.io_uring_disabled, on old
  // kernels or without memory), OneAtATime otherwise. `depth` is clamped to
  // 1..4096. Never fails.
  [[nodiscard]] static FlushQueue create(unsigned depth, bool allow_concurrent = true);

  FlushQueue(FlushQueue&&) noexcept;
  FlushQueue& operator=(FlushQueue&&) noexcept;
  FlushQueue(const FlushQueue&) = delete;
  FlushQueue& operator=(const FlushQueue&) = delete;
  ~FlushQueue();

  [[nodiscard]] Mode mode() const noexcept { return ring_ ? Mode::Concurrent : Mode::OneAtATime; }
  // How many submitted flushes may await the taking of their completion.
  [[nodiscard]] unsigned depth() const noexcept { return depth_; }
  // Submitted flushes whose completion has not been taken by wait_one yet.
  [[nodiscard]] std::size_t in_flight() const noexcept { return in_flight_; }

  // Queues an fsync of `fd`; its completion carries `tag`. Queued flushes are
  // handed to the kernel in groups, at the latest when a completion is waited
  // for. The caller keeps `fd` open until that completion is taken. Requires
  // in_flight() < depth(): a full queue is refused with Io, so the caller
  // takes a completion first. In OneAtATime mode the fsync runs here and its
  // outcome waits in the queue. A failure to hand flushes to the kernel is Io;
  // the queue is then of no further use.
  Result<void> submit(int fd, std::uint64_t tag);

  // Waits for the completion of one submitted flush, in any order. With
  // nothing in flight, or when the kernel refuses the wait, Io.
  Result<Completion> wait_one();

 private:
  // The ring's user data is a slot number; the slot holds the caller's tag
  // and the descriptor being flushed.
  struct Slot {
    std::uint64_t tag = 0;
    int fd = -1;
  };

  FlushQueue(unsigned depth, std::optional<Ring> ring);

  unsigned depth_;
  std::size_t in_flight_ = 0;
  std::optional<Ring> ring_;  // none in OneAtATime mode
  std::vector<Slot> slots_;
  std::vector<unsigned> free_slots_;
  std::deque<Completion> done_;  // OneAtATime mode: outcomes not taken yet
};

}  // namespace kov_core::util
