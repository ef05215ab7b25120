#pragma once
// Writes a large file through io_uring, so that the kernel copies each piece
// into the page cache on one of its workers while the caller decodes the
// next: the decoding stays on the caller's thread, the copying does not hold
// it up. Where io_uring is not available it writes each piece at once.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/format.hpp"
#include "util/ring.hpp"

namespace kov_core::archive {

class AsyncWriter final : public format::ByteSink {
 public:
  // `pieces` buffers of `piece_size` bytes are in flight at most. Without
  // `concurrent` (or io_uring) each piece is written at once.
  AsyncWriter(unsigned pieces, std::size_t piece_size, bool concurrent = true);
  AsyncWriter(const AsyncWriter&) = delete;
  AsyncWriter& operator=(const AsyncWriter&) = delete;
  // Waits for every write in flight: no piece is freed while the kernel may
  // still copy from it.
  ~AsyncWriter() override;

  // Starts a new file at offset 0; the previous one must have been finished.
  void begin(int fd) noexcept;
  // Copies `bytes` into free buffers and starts their writes. A failed write
  // is Io with the system's error, here or at finish().
  Result<void> write(std::span<const std::uint8_t> bytes) override;
  // Writes out what is buffered and waits for every write of the file.
  Result<void> finish();

 private:
  struct Piece {
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;
    std::uint64_t offset = 0;
    bool in_flight = false;
  };

  Result<void> submit(Piece& piece);
  Result<void> take_one();

  // Declared before the ring, so that the ring goes first: the kernel may
  // copy from a piece until its write completes.
  std::vector<Piece> pieces_;
  std::optional<util::Ring> ring_;
  std::size_t current_ = 0;  // the piece being filled
  unsigned in_flight_ = 0;
  int fd_ = -1;
  std::uint64_t offset_ = 0;
  std::optional<Error> failed_;
};

}  // namespace kov_core::archive
