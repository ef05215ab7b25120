#pragma once
// The process-wide progress counters and cancellation flag. Internal: only the
// library writes them; readers use the functions of kov_core/progress.hpp.

#include <atomic>
#include <cstdint>

#include "kov_core/error.hpp"

namespace kov_core::archive {

extern std::atomic<std::uint64_t> PROGRESS_TOTAL;
extern std::atomic<std::uint64_t> PROGRESS_COMPLETED;
extern std::atomic<bool> CANCELLED;

// Adds to the completed count (relaxed, wrapping).
inline void progress_add(std::uint64_t units) noexcept {
  PROGRESS_COMPLETED.fetch_add(units, std::memory_order_relaxed);
}

// Cancelled when the flag is set.
[[nodiscard]] inline Result<void> check_cancelled() {
  if (CANCELLED.load(std::memory_order_relaxed)) return std::unexpected(Error::cancelled());
  return {};
}

}  // namespace kov_core::archive
