#include "util/ring.hpp"
#include "util/test_hooks.hpp"

#include <liburing.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

namespace kov_core::util {

namespace {

// A short wait usually clears EAGAIN; this many in a row is a failure.
constexpr int AGAIN_ATTEMPTS = 1000;

}  // namespace

void Ring::Deleter::operator()(io_uring* ring) const noexcept {
  ::io_uring_queue_exit(ring);
  delete ring;
}

Ring::Ring(std::unique_ptr<io_uring, Deleter> ring) noexcept : ring_(std::move(ring)) {}
Ring::Ring(Ring&&) noexcept = default;
Ring& Ring::operator=(Ring&&) noexcept = default;
Ring::~Ring() = default;

std::optional<Ring> Ring::create(unsigned entries) noexcept {
  std::unique_ptr<io_uring, Deleter> ring(new (std::nothrow) io_uring{});
  if (!ring) return std::nullopt;
  if (::io_uring_queue_init(entries, ring.get(), 0) != 0) {
    // Never set up, so not to be torn down.
    delete ring.release();
    return std::nullopt;
  }
  return Ring(std::move(ring));
}

io_uring_sqe* Ring::entry() noexcept {
  io_uring_sqe* sqe = ::io_uring_get_sqe(ring_.get());
  if (sqe != nullptr) ++queued_;
  return sqe;
}

Result<void> Ring::submit() {
  int again = 0;
  while (queued_ > 0) {
    const int rc = ::io_uring_submit(ring_.get());
    if (rc > 0) {
      queued_ -= std::min(queued_, static_cast<unsigned>(rc));
      continue;
    }
    if (rc == -EINTR) continue;
    if ((rc == -EAGAIN || rc == 0) && ++again < AGAIN_ATTEMPTS) {
      ::sched_yield();
      continue;
    }
    return std::unexpected(Error::os(rc < 0 ? -rc : EAGAIN));
  }
  return {};
}

Result<Ring::Completion> Ring::wait() {
  if (test_hooks::ring_wait != nullptr) {
    if (const int error = test_hooks::ring_wait()) return std::unexpected(Error::os(error));
  }
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
    const Completion completion{::io_uring_cqe_get_data64(cqe), cqe->res};
    ::io_uring_cqe_seen(ring_.get(), cqe);
    return completion;
  }
}

}  // namespace kov_core::util
