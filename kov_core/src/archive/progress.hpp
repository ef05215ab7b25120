#pragma once
// The process-wide progress counters and cancellation flag. Internal: only the
// library writes them; readers use the functions of kov_core/progress.hpp.

#include <atomic>
#include <cstdint>

#include "kov_core/error.hpp"
#include "util/checked.hpp"

namespace kov_core::archive {

extern std::atomic<std::uint64_t> PROGRESS_TOTAL;
extern std::atomic<std::uint64_t> PROGRESS_COMPLETED;
extern std::atomic<bool> CANCELLED;

// Starts an operation's count: `total` units, none of them completed.
inline void begin_progress(std::uint64_t total) noexcept {
  PROGRESS_COMPLETED.store(0, std::memory_order_relaxed);
  PROGRESS_TOTAL.store(total, std::memory_order_relaxed);
}

// The units of an operation over `items`: the bytes of each (`bytes(item)`)
// and one for the item itself, saturating instead of wrapping.
template <class Items, class Bytes>
[[nodiscard]] std::uint64_t progress_units(const Items& items, Bytes bytes) {
  std::uint64_t total = 0;
  for (const auto& item : items)
    total = util::saturating_add(total, util::saturating_add(bytes(item), 1));
  return total;
}

// Adds to the completed count (relaxed, wrapping).
inline void progress_add(std::uint64_t units) noexcept {
  PROGRESS_COMPLETED.fetch_add(units, std::memory_order_relaxed);
}

// Cancelled when the flag is set.
inline Result<void> check_cancelled() {
  if (CANCELLED.load(std::memory_order_relaxed)) return std::unexpected(Error::cancelled());
  return {};
}

}  // namespace kov_core::archive
