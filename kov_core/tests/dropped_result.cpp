// Compiled by two tests, never linked: with KOV_DROP a Result is dropped,
// and that must not compile once warnings are errors; without it, the same
// code compiles, so the first test fails for the drop alone.

#include "kov_core/error.hpp"

namespace {

// A file-local helper with no attribute of its own: the type guards it.
kov_core::Result<void> helper() { return {}; }

}  // namespace

int use() {
#ifdef KOV_DROP
  helper();
#else
  if (!helper()) return 1;
#endif
  return 0;
}
