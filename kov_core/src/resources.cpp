// The machine resources probe. Memory from sysconf page figures,
// parallelism from the processor-affinity set limited by a control-group
// processor quota.

#include "kov_core/resources.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kov_core/fd.hpp"
#include "util/checked.hpp"
#include "util/io.hpp"

namespace kov_core::resources {

namespace {

constexpr std::uint64_t MAX_MIB = UINT32_MAX;
constexpr std::uint64_t MAX_THREADS = UINT16_MAX;

// pages x page size, 0 when either is not positive; saturating.
std::uint64_t byte_count(long page_size, long pages) noexcept {
  if (page_size <= 0 || pages <= 0) return 0;
  return util::saturating_mul(static_cast<std::uint64_t>(pages),
                              static_cast<std::uint64_t>(page_size));
}

std::uint32_t to_mib(std::uint64_t bytes) noexcept {
  return static_cast<std::uint32_t>(std::min(bytes >> 20, MAX_MIB));
}

// ---- processor-affinity set -------------------------------------------------

// Number of processors in the calling thread's affinity set; 0 on error. The set
// is sized dynamically so that machines with more than CPU_SETSIZE processors
// are counted in full.
std::uint64_t affinity_count() noexcept {
  for (int capacity = 1024; capacity <= (1 << 22); capacity *= 2) {
    cpu_set_t* set = CPU_ALLOC(capacity);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(capacity);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::uint64_t>(count) : 0;
    }
    const int error_number = errno;
    CPU_FREE(set);
    if (error_number != EINVAL) return 0;  // EINVAL: the kernel's mask is larger
  }
  return 0;
}

// ---- control-group processor quota ------------------------------------------

// The whole content of a (small, pseudo-) file, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path) {
  const util::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  std::string content;
  std::uint8_t buffer[4096];
  for (;;) {
    auto n = util::read_some(fd.get(), buffer);
    if (!n) return std::nullopt;
    if (*n == 0) break;
    content.append(reinterpret_cast<const char*>(buffer), *n);
    // No pseudo-file of interest is this large.
    if (content.size() > (std::size_t{16} << 20)) return std::nullopt;
  }
  return content;
}

std::string_view trim(std::string_view text) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

template <class Int>
std::optional<Int> parse_integer(std::string_view text) noexcept {
  text = trim(text);
  Int value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// The processor limit of a quota over a period: max(1, quota / period).
std::optional<std::uint64_t> quota_limit(std::uint64_t quota, std::uint64_t period) noexcept {
  if (period == 0) return std::nullopt;
  return std::max<std::uint64_t>(1, quota / period);
}

// cgroup v2 "cpu.max": "max PERIOD" (no limit) or "QUOTA PERIOD".
std::optional<std::uint64_t> limit_v2(const std::string& directory) {
  const auto content = read_file(directory + "/cpu.max");
  if (!content) return std::nullopt;
  const std::string_view text = trim(*content);
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view quota_text = trim(text.substr(0, space));
  if (quota_text == "max") return std::nullopt;
  const auto quota = parse_integer<std::uint64_t>(quota_text);
  const auto period = parse_integer<std::uint64_t>(text.substr(space + 1));
  if (!quota || !period) return std::nullopt;
  return quota_limit(*quota, *period);
}

// cgroup v1 "cpu.cfs_quota_us" (-1: no limit) and "cpu.cfs_period_us".
std::optional<std::uint64_t> limit_v1(const std::string& directory) {
  const auto quota_content = read_file(directory + "/cpu.cfs_quota_us");
  if (!quota_content) return std::nullopt;
  const auto quota = parse_integer<std::int64_t>(*quota_content);
  if (!quota || *quota <= 0) return std::nullopt;
  const auto period_content = read_file(directory + "/cpu.cfs_period_us");
  if (!period_content) return std::nullopt;
  const auto period = parse_integer<std::uint64_t>(*period_content);
  if (!period) return std::nullopt;
  return quota_limit(static_cast<std::uint64_t>(*quota), *period);
}

std::optional<std::uint64_t> smaller(std::optional<std::uint64_t> a,
                                     std::optional<std::uint64_t> b) noexcept {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// One mounted control-group hierarchy: where it is mounted and which group of
// the hierarchy appears at the mount point.
struct Mount {
  std::string point;
  std::string root;
};

// The group a process line of /proc/self/cgroup names.
struct Membership {
  std::optional<std::string> v2;      // "0::PATH"
  std::optional<std::string> v1_cpu;  // "N:...cpu...:PATH"
};

bool has_token(std::string_view list, std::string_view token) noexcept {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    if (list.substr(0, comma) == token) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

Membership read_membership() {
  Membership membership;
  const auto content = read_file("/proc/self/cgroup");
  if (!content) return membership;
  std::string_view rest = *content;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      if (!membership.v2) membership.v2 = std::string(path);
    } else if (has_token(controllers, "cpu")) {
      if (!membership.v1_cpu) membership.v1_cpu = std::string(path);
    }
  }
  return membership;
}

// Undoes the octal escapes (\040 and the like) of /proc/self/mountinfo fields.
std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                      (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

// The first cgroup2 mount and the first cgroup v1 mount carrying the "cpu"
// controller, from /proc/self/mountinfo.
struct Mounts {
  std::optional<Mount> v2;
  std::optional<Mount> v1_cpu;
};

Mounts read_mounts() {
  Mounts mounts;
  const auto content = read_file("/proc/self/mountinfo");
  if (!content) return mounts;
  std::string_view rest = *content;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::vector<std::string_view> fields;
    std::string_view scan = line;
    while (!scan.empty()) {
      const std::size_t space = scan.find(' ');
      if (space != 0) fields.push_back(scan.substr(0, space));
      if (space == std::string_view::npos) break;
      scan.remove_prefix(space + 1);
    }
    const auto separator = std::find(fields.begin(), fields.end(), std::string_view{"-"});
    if (fields.size() < 5 || separator == fields.end() || separator - fields.begin() < 6 ||
        fields.end() - separator < 4)
      continue;
    const std::string_view type = separator[1];
    const std::string_view super_options = separator[3];
    if (type == "cgroup2" && !mounts.v2) {
      mounts.v2 = Mount{unescape(fields[4]), unescape(fields[3])};
    } else if (type == "cgroup" && !mounts.v1_cpu && has_token(super_options, "cpu")) {
      mounts.v1_cpu = Mount{unescape(fields[4]), unescape(fields[3])};
    }
  }
  return mounts;
}

// The directory of GROUP below MOUNT, or nothing when the group lies outside the
// part of the hierarchy that is mounted there.
std::optional<std::string> group_directory(const Mount& mount, std::string_view group) {
  std::string_view root = mount.root;
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  std::string_view relative = group;
  if (root != "/") {
    if (group.substr(0, root.size()) != root) return std::nullopt;
    relative = group.substr(root.size());
    if (!relative.empty() && relative.front() != '/') return std::nullopt;
  }
  std::string directory = mount.point;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
  if (!relative.empty()) {
    directory += '/';
    directory += relative;
  }
  return directory;
}

// The smallest limit found in DIRECTORY and each of its parents up to and
// including MOUNT_POINT.
template <class Limit>
std::optional<std::uint64_t> limit_up_to(std::string directory, std::string_view mount_point,
                                         Limit limit) {
  std::string_view stop = mount_point;
  while (stop.size() > 1 && stop.back() == '/') stop.remove_suffix(1);
  std::optional<std::uint64_t> result;
  for (;;) {
    result = smaller(result, limit(directory));
    if (directory.size() <= stop.size()) break;
    const std::size_t slash = directory.rfind('/');
    if (slash == std::string::npos || slash < stop.size()) break;
    directory.resize(std::max<std::size_t>(slash, 1));
  }
  return result;
}

// The processor limit of the process's control groups; nothing when no quota
// is set or none can be read.
std::optional<std::uint64_t> cgroup_limit() {
  const Membership membership = read_membership();
  if (!membership.v2 && !membership.v1_cpu) return std::nullopt;
  const Mounts mounts = read_mounts();
  std::optional<std::uint64_t> result;

  if (membership.v2) {
    const Mount mount = mounts.v2.value_or(Mount{"/sys/fs/cgroup", "/"});
    if (const auto directory = group_directory(mount, *membership.v2))
      result = smaller(result, limit_up_to(*directory, mount.point, limit_v2));
  }

  if (membership.v1_cpu) {
    std::vector<Mount> candidates;
    if (mounts.v1_cpu) {
      candidates.push_back(*mounts.v1_cpu);
    } else {
      candidates.push_back(Mount{"/sys/fs/cgroup/cpu,cpuacct", "/"});
      candidates.push_back(Mount{"/sys/fs/cgroup/cpu", "/"});
    }
    for (const Mount& mount : candidates) {
      const auto directory = group_directory(mount, *membership.v1_cpu);
      if (!directory || ::access(mount.point.c_str(), F_OK) != 0) continue;
      result = smaller(result, limit_up_to(*directory, mount.point, limit_v1));
      break;
    }
  }
  return result;
}

std::uint64_t available_processors() noexcept {
  const std::uint64_t affinity = affinity_count();
  if (affinity == 0) return 0;
  try {
    if (const auto limit = cgroup_limit()) return std::min(affinity, *limit);
  } catch (...) {
    // Out of memory while reading the control groups: the affinity count stands.
  }
  return affinity;
}

}  // namespace

MachineResources from_system_figures(long page_size, long available_pages, long physical_pages,
                                     std::uint64_t processors) noexcept {
  MachineResources result;
  result.available_mib = to_mib(byte_count(page_size, available_pages));
  result.total_mib = to_mib(byte_count(page_size, physical_pages));
  result.threads = processors == 0 ? std::uint16_t{1}
                                   : static_cast<std::uint16_t>(std::min(processors, MAX_THREADS));
  return result;
}

std::uint32_t available_memory_mib() noexcept {
  return from_system_figures(::sysconf(_SC_PAGESIZE), ::sysconf(_SC_AVPHYS_PAGES), 0, 1)
      .available_mib;
}

MachineResources inspect() noexcept {
  const long page_size = ::sysconf(_SC_PAGESIZE);
  const long available_pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long physical_pages = ::sysconf(_SC_PHYS_PAGES);
  return from_system_figures(page_size, available_pages, physical_pages, available_processors());
}

}  // namespace kov_core::resources
