#pragma once
// Progress of the running library operation, readable from any thread.

#include <cstdint>

extern "C" {
// Work units of the running operation; 0 until it has measured its work.
std::uint64_t kov_progress_total(void) noexcept;
// Work units done so far (bytes processed plus one per finished item).
std::uint64_t kov_progress_completed(void) noexcept;
// Sets the completed count to 0, then the total.
void kov_progress_reset(void) noexcept;
}
