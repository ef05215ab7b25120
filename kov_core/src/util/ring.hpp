#pragma once
// Owns one io_uring and the one rule for retrying it: an interrupted call is
// repeated, and EAGAIN (the kernel short of memory for the moment) a bounded
// number of times, so a stuck kernel ends in an error, not an endless loop.
// Callers fill the entries with liburing's prep functions. Move-only.

#include <cstdint>
#include <memory>
#include <optional>

#include "kov_core/error.hpp"

struct io_uring;
struct io_uring_sqe;

namespace kov_core::util {

class Ring {
 public:
  struct Completion {
    std::uint64_t data;  // the entry's user data
    int result;          // the operation's result, a negated errno on failure
  };

  // None where the kernel refuses a ring (seccomp, kernel.io_uring_disabled,
  // old kernels, no memory): callers then do the work themselves.
  [[nodiscard]] static std::optional<Ring> create(unsigned entries) noexcept;

  Ring(Ring&&) noexcept;
  Ring& operator=(Ring&&) noexcept;
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring();

  // A free entry, counted as queued until submit() hands it over; null when
  // every entry is queued.
  [[nodiscard]] io_uring_sqe* entry() noexcept;
  [[nodiscard]] unsigned queued() const noexcept { return queued_; }

  // Hands every queued entry to the kernel. On failure the system's error;
  // what stays queued goes with the next submit.
  Result<void> submit();

  // Waits for one completion and takes it. A failure takes nothing.
  Result<Completion> wait();

 private:
  struct Deleter {
    void operator()(io_uring* ring) const noexcept;
  };

  explicit Ring(std::unique_ptr<io_uring, Deleter> ring) noexcept;

  std::unique_ptr<io_uring, Deleter> ring_;
  unsigned queued_ = 0;
};

}  // namespace kov_core::util
