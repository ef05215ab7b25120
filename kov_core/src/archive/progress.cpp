// The process-wide progress counters, the cancellation flag and the
// three C-linkage functions that read and reset the counters.

#include "archive/progress.hpp"

#include "kov_core/progress.hpp"

namespace kov_core::archive {

// Constant-initialized: zero before any code of the process runs, so readers on
// other threads never see them uninitialized.
constinit std::atomic<std::uint64_t> PROGRESS_TOTAL{0};
constinit std::atomic<std::uint64_t> PROGRESS_COMPLETED{0};
constinit std::atomic<bool> CANCELLED{false};

}  // namespace kov_core::archive

extern "C" {

std::uint64_t kov_progress_total(void) noexcept {
  return kov_core::archive::PROGRESS_TOTAL.load(std::memory_order_relaxed);
}

std::uint64_t kov_progress_completed(void) noexcept {
  return kov_core::archive::PROGRESS_COMPLETED.load(std::memory_order_relaxed);
}

void kov_progress_reset(void) noexcept { kov_core::archive::begin_progress(0); }

}  // extern "C"
