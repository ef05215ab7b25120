// The machine resources probe.

#include "kov_core/resources.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <thread>

namespace {

using kov_core::resources::from_system_figures;
using kov_core::resources::inspect;
using kov_core::resources::MachineResources;

constexpr std::uint32_t MAX_MIB = 4'294'967'295U;

TEST(Resources, FromSystemFigures) {
  struct Case {
    const char* name;
    long page_size;
    long available_pages;
    long physical_pages;
    std::uint64_t processors;
    MachineResources expected;
  };
  const Case cases[] = {
      {"ordinary machine", 4096, 262'144, 1'048'576, 8, {1024, 4096, 8}},
      {"page counts unavailable (error)", 4096, -1, -1, 4, {0, 0, 4}},
      {"page counts zero", 4096, 0, 0, 2, {0, 0, 2}},
      {"only the available count unavailable", 4096, -1, 1'048'576, 2, {0, 4096, 2}},
      {"negative page size", -1, 262'144, 1'048'576, 3, {0, 0, 3}},
      {"zero page size", 0, 262'144, 1'048'576, 3, {0, 0, 3}},
      {"remainder below one MiB dropped", 4096, 255, 257, 1, {0, 1, 1}},
      {"just below the cap",
       4096,
       1'099'511'627'520L,
       1'099'511'627'520L,
       1,
       {MAX_MIB, MAX_MIB, 1}},
      {"one MiB above the cap",
       4096,
       1'099'511'627'776L,
       1'099'511'627'776L,
       1,
       {MAX_MIB, MAX_MIB, 1}},
      // 2^62 pages x 4 bytes is 2^64: wrapping would give 0 bytes, saturation the cap.
      {"product saturates instead of wrapping", 4, 1L << 62, 1L << 62, 1, {MAX_MIB, MAX_MIB, 1}},
      {"largest figures", LONG_MAX, LONG_MAX, LONG_MAX, 1, {MAX_MIB, MAX_MIB, 1}},
      {"processors unknown", 4096, 256, 256, 0, {1, 1, 1}},
      {"threads at the cap", 4096, 256, 256, 65'535, {1, 1, 65'535}},
      {"threads above the cap", 4096, 256, 256, 65'536, {1, 1, 65'535}},
      {"threads far above the cap", 4096, 256, 256, UINT64_MAX, {1, 1, 65'535}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MachineResources got =
        from_system_figures(c.page_size, c.available_pages, c.physical_pages, c.processors);
    EXPECT_EQ(got.available_mib, c.expected.available_mib);
    EXPECT_EQ(got.total_mib, c.expected.total_mib);
    EXPECT_EQ(got.threads, c.expected.threads);
  }
}

TEST(Resources, InspectThisMachine) {
  const MachineResources r = inspect();
  EXPECT_GE(r.threads, 1U);
  if (r.total_mib != 0 && r.available_mib != 0) {
    EXPECT_GE(r.total_mib, r.available_mib);
  }
  // The total memory is a stable figure; it must match what sysconf reports.
  const MachineResources figures = from_system_figures(
      sysconf(_SC_PAGESIZE), sysconf(_SC_AVPHYS_PAGES), sysconf(_SC_PHYS_PAGES), 1);
  EXPECT_EQ(r.total_mib, figures.total_mib);

  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_LE(r.threads, static_cast<unsigned>(CPU_COUNT(&set)));
}

// inspect() on a thread restricted to the first N processors of the current set.
MachineResources inspect_with_affinity(int processors, bool* restricted) {
  MachineResources result;
  std::thread worker([&] {
    cpu_set_t current;
    CPU_ZERO(&current);
    *restricted = false;
    if (sched_getaffinity(0, sizeof current, &current) != 0 || CPU_COUNT(&current) < processors)
      return;
    cpu_set_t narrow;
    CPU_ZERO(&narrow);
    int taken = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && taken < processors; ++cpu) {
      if (CPU_ISSET(cpu, &current)) {
        CPU_SET(cpu, &narrow);
        ++taken;
      }
    }
    if (sched_setaffinity(0, sizeof narrow, &narrow) != 0) return;
    *restricted = true;
    result = inspect();
  });
  worker.join();
  return result;
}

TEST(Resources, ThreadsFollowTheAffinitySet) {
  bool restricted = false;
  const MachineResources one = inspect_with_affinity(1, &restricted);
  if (!restricted) GTEST_SKIP() << "cannot restrict the affinity set";
  EXPECT_EQ(one.threads, 1U);

  const MachineResources three = inspect_with_affinity(3, &restricted);
  if (!restricted) GTEST_SKIP() << "fewer than 3 processors available";
  // A control-group quota may lower the figure further, never raise it.
  EXPECT_GE(three.threads, 1U);
  EXPECT_LE(three.threads, 3U);
  const MachineResources unrestricted = inspect();
  EXPECT_EQ(three.threads, std::min<unsigned>(3U, unrestricted.threads));
}

}  // namespace
