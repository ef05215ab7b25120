#include "archive/async_writer.hpp"

#include <liburing.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "util/io.hpp"

namespace kov_core::archive {

AsyncWriter::AsyncWriter(unsigned pieces, std::size_t piece_size, bool concurrent)
    : pieces_(std::max(pieces, 1u)) {
  for (Piece& piece : pieces_) piece.bytes.resize(piece_size);
  // Without a ring every piece is written at once, which is always correct.
  if (concurrent) ring_ = util::Ring::create(static_cast<unsigned>(pieces_.size()));
}

namespace {

// Failed waits in a row after which the destructor stops asking the ring.
constexpr int MAX_FAILED_WAITS = 100;

}  // namespace

AsyncWriter::~AsyncWriter() {
  // The kernel must not copy from a buffer after it is freed. A failed wait
  // takes nothing, so it is tried again.
  for (int failed = 0; in_flight_ > 0 && failed < MAX_FAILED_WAITS;)
    failed = take_one() ? 0 : failed + 1;
  if (in_flight_ == 0) return;
  // The ring cannot tell when the writes end: their pieces are kept for the
  // life of the process rather than freed under the kernel.
  static auto* const abandoned = new std::vector<std::vector<std::uint8_t>>();
  static std::mutex guard;
  const std::lock_guard lock(guard);
  for (Piece& piece : pieces_)
    if (piece.in_flight) abandoned->push_back(std::move(piece.bytes));
}

void AsyncWriter::begin(int fd) noexcept {
  fd_ = fd;
  offset_ = 0;
  failed_.reset();
}

Result<void> AsyncWriter::write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (failed_) return std::unexpected(*failed_);
    Piece& piece = pieces_[current_];
    while (piece.in_flight) KOV_TRY(take_one());
    const std::size_t n = std::min(bytes.size(), piece.bytes.size() - piece.used);
    std::memcpy(piece.bytes.data() + piece.used, bytes.data(), n);
    piece.used += n;
    bytes = bytes.subspan(n);
    if (piece.used == piece.bytes.size()) {
      KOV_TRY(submit(piece));
      current_ = (current_ + 1) % pieces_.size();
    }
  }
  return {};
}

Result<void> AsyncWriter::finish() {
  Piece& piece = pieces_[current_];
  if (piece.used > 0 && !piece.in_flight) {
    KOV_TRY(submit(piece));
    current_ = (current_ + 1) % pieces_.size();
  }
  while (in_flight_ > 0) KOV_TRY(take_one());
  if (failed_) return std::unexpected(*failed_);
  return {};
}

Result<void> AsyncWriter::submit(Piece& piece) {
  piece.offset = offset_;
  offset_ += piece.used;
  io_uring_sqe* sqe = ring_ ? ring_->entry() : nullptr;
  if (sqe == nullptr) {
    auto written = util::pwrite_all(fd_, std::span(piece.bytes).first(piece.used), piece.offset);
    piece.used = 0;
    return written;
  }
  ::io_uring_prep_write(sqe, fd_, piece.bytes.data(), static_cast<unsigned>(piece.used),
                        piece.offset);
  // A worker makes the copy, not this thread.
  sqe->flags |= IOSQE_ASYNC;
  ::io_uring_sqe_set_data64(sqe, static_cast<std::uint64_t>(&piece - pieces_.data()));
  if (!ring_->submit()) {
    // Not taken by the kernel: written here instead.
    ::io_uring_prep_nop(sqe);
    sqe->flags = 0;
    ::io_uring_sqe_set_data64(sqe, UINT64_MAX);
    auto written = util::pwrite_all(fd_, std::span(piece.bytes).first(piece.used), piece.offset);
    piece.used = 0;
    return written;
  }
  piece.in_flight = true;
  ++in_flight_;
  return {};
}

Result<void> AsyncWriter::take_one() {
  auto taken = ring_->wait();
  if (!taken) return std::unexpected(std::move(taken).error());
  const std::uint64_t index = taken->data;
  const int result = taken->result;
  if (index >= pieces_.size()) return {};  // a submission that was written here
  Piece& piece = pieces_[index];
  if (result < 0) {
    if (!failed_) failed_ = Error::os(-result);
  } else if (static_cast<std::size_t>(result) < piece.used) {
    // A short write ends only at an error, which writing the rest reports.
    auto rest = util::pwrite_all(
        fd_, std::span(piece.bytes).subspan(static_cast<std::size_t>(result), piece.used - result),
        piece.offset + static_cast<std::uint64_t>(result));
    if (!rest && !failed_) failed_ = rest.error();
  }
  piece.in_flight = false;
  piece.used = 0;
  --in_flight_;
  return {};
}

}  // namespace kov_core::archive
