#pragma once
// libsodium must be initialised once before use (it also picks the fastest
// implementation for this CPU then).

namespace kov_core::util {

// Initialises libsodium on first call; cheap afterwards, safe from any thread.
void ensure_sodium() noexcept;

}  // namespace kov_core::util
