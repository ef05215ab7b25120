#pragma once
// What the machine offers right now: memory and parallelism.

#include <cstdint>

namespace kov_core::resources {

struct MachineResources {
  std::uint32_t available_mib = 0;  // 0 when the system does not report it
  std::uint32_t total_mib = 0;      // 0 when the system does not report it
  std::uint16_t threads = 1;        // 1 when the system does not report it

  friend bool operator==(const MachineResources&, const MachineResources&) = default;
};

// Measures afresh on every call; never fails.
[[nodiscard]] MachineResources inspect() noexcept;

// The available-memory figure of inspect() alone, without the processor probe:
// cheap enough to ask once per entry.
[[nodiscard]] std::uint32_t available_memory_mib() noexcept;

// The figures from raw system answers: a page size and page counts as sysconf
// gives them (negative for an error) and a processor count (0 for an error).
// Products saturate; MiB figures cap at 2^32 - 1 and threads at 65,535.
[[nodiscard]] MachineResources from_system_figures(long page_size, long available_pages,
                                                   long physical_pages,
                                                   std::uint64_t processors) noexcept;

}  // namespace kov_core::resources
