#pragma once
// The seams of the library's own tests, all in one place. Each is null in
// normal use; the code calls it at one point so that a test can watch or
// change what happens there. Nothing but the tests sets them.

#include <cstdint>
#include <string_view>

namespace kov_core::util::test_hooks {

// Every flush, of a descriptor alone or of its whole file system (of all of
// them, with fd -1): one of an io_uring when it ends, any other before it
// runs. A nonzero errno it returns is then the flush's outcome in place of
// the system's.
enum class FlushScope : std::uint8_t { Descriptor, FileSystem };
inline int (*flush)(int fd, FlushScope scope) = nullptr;

// Every wait for an io_uring completion asks it first; a nonzero errno it
// returns is that wait's failure, with nothing taken.
inline int (*ring_wait)() = nullptr;

// Called with the name of each directory that a walk of an extraction's tree
// is about to leave through "..", so that a test can move it meanwhile.
inline void (*leaving_directory)(std::string_view name) = nullptr;

// Called once creation has walked its inputs, before any file is read, so
// that a test can change the tree in between.
inline void (*after_walk)() = nullptr;

}  // namespace kov_core::util::test_hooks
