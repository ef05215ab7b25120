// Whole archives extracted one after the other into one destination in a
// scratch root made once per process. Beside the destination the root holds a
// canary directory with a file; inside it a link made before the first run
// points out (dest/out -> ../canary). After each run nothing outside the
// destination has changed, no link under it resolves outside it (as the kernel
// resolves it), no temporary file is left, and every failure is one of kov's
// own messages. Two runs meet what one cannot: links that each archive keeps
// inside but that, once both are on disk, lead out.
//
// The runs go once without a credential, then into a fresh destination with
// the keyed harness's fixed key, where a run whose archive refuses the key
// goes without it; the keyed turn is skipped when no archive takes the key.
//
// Byte 0 is the first archive's control byte. Bit 7: the archive is a keyed
// frame (fuzz_keyed_file.hpp) whose control bits are bits 0-1; else bits 0-3
// are the repairs of fuzz_archive.cpp, bit 4 repairs the entries' sizes and
// digests, and the bytes are the file. Bit 6: extraction overwrites. Bit 5
// clear: one run, of the rest. Bit 5 set, two runs:
//   byte 1     the second archive's control byte, read as byte 0 (bit 5 unused)
//   bytes 2-3  the entries each run extracts: bit i picks the i-th entry of
//              its index; a byte that picks none means all of them
//   bytes 4-5  the first archive's length (u16, little-endian)
//   the rest   the first archive, then the second. A length past the end
//              leaves the second empty, and an empty second is the first again.
// Under libFuzzer the harness's own mutator (at the end) also changes this
// structure.

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz_archive_file.hpp"
#include "fuzz_check.hpp"
#include "fuzz_keyed_file.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/fd.hpp"

namespace {

namespace fs = std::filesystem;
using kov_core::util::Fd;

constexpr std::uint8_t KEYED_FRAME = 0x80;
constexpr std::uint8_t OVERWRITE = 0x40;
constexpr std::uint8_t SECOND_RUN = 0x20;
constexpr std::uint8_t REPAIR_ENTRIES = 0x10;
// Entries may declare at most this much content in total: declared sizes bound
// what decoding produces, so each run stays fast.
constexpr std::uint64_t MAX_DECLARED_BYTES = 4u << 20;
constexpr const char* CANARY_TEXT = "the canary must never change\n";
constexpr const char* OUT_TARGET = "../canary";
constexpr std::string_view TEMP_PREFIX = ".kov-partial-";
// Bytes 0-5 of a two-run input.
constexpr std::size_t TWO_RUN_HEAD = 6;

// openat2: the path resolved from `dir` under the `resolve` restrictions.
long open_resolved(int dir, const std::string& path, std::uint64_t flags, std::uint64_t resolve) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.resolve = resolve;
  // EAGAIN: a rename anywhere in the system while ".." was resolved; the
  // kernel could not tell whether it stayed beneath.
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN || attempt == 1000) return fd;
  }
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
    names.insert(it->path().filename().string());
  kov_fuzz::check(!error, "cannot list a directory of the scratch root");
  return names;
}

std::string read_text(const fs::path& file) {
  const Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  kov_fuzz::check(fd.valid(), "cannot open the canary file");
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// What outside the destination must stay as it is.
struct Outside {
  std::set<std::string> root_names;
  std::set<std::string> canary_names;
  std::string content;
  off_t size = 0;
  timespec modified{};

  friend bool operator==(const Outside& a, const Outside& b) {
    return a.root_names == b.root_names && a.canary_names == b.canary_names &&
           a.content == b.content && a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec;
  }
};

class Scratch {
 public:
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kov-fuzz-extract-XXXXXX";
    kov_fuzz::check(::mkdtemp(pattern.data()) != nullptr, "cannot make the scratch root");
    root_ = pattern;
    kov_fuzz::check(::mkdir((root_ / "canary").c_str(), 0755) == 0,
                    "cannot make the canary directory");
    const Fd file(::open((root_ / "canary" / "canary").c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    kov_fuzz::check(file.valid(), "cannot make the canary file");
    const std::size_t length = std::strlen(CANARY_TEXT);
    kov_fuzz::check(::write(file.get(), CANARY_TEXT, length) == static_cast<ssize_t>(length),
                    "cannot write the canary file");
    before_ = outside();
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  [[nodiscard]] fs::path destination() const { return root_ / "dest"; }

  // A fresh destination with its link out.
  void prepare() const {
    kov_fuzz::check(::mkdir(destination().c_str(), 0755) == 0, "cannot make the destination");
    kov_fuzz::check(::symlink(OUT_TARGET, (destination() / "out").c_str()) == 0,
                    "cannot make the link out");
  }

  void check_outside() const {
    Outside now = outside();
    if (!now.root_names.erase("dest"))
      kov_fuzz::fail("the destination is gone from the scratch root");
    if (!(now == before_)) kov_fuzz::fail("extraction changed something outside the destination");
  }

  void clean() const {
    std::error_code error;
    fs::remove_all(destination(), error);
    kov_fuzz::check(!error, "cannot remove the destination");
  }

 private:
  [[nodiscard]] Outside outside() const {
    Outside state;
    state.root_names = names_in(root_);
    state.canary_names = names_in(root_ / "canary");
    state.content = read_text(root_ / "canary" / "canary");
    struct stat status{};
    kov_fuzz::check(::lstat((root_ / "canary" / "canary").c_str(), &status) == 0,
                    "cannot stat the canary file");
    state.size = status.st_size;
    state.modified = status.st_mtim;
    return state;
  }

  fs::path root_;
  Outside before_;
};

const Scratch& scratch() {
  static const Scratch instance;
  return instance;
}

// Walks the destination without following links. Each link is resolved by the
// kernel from the destination's descriptor: leaving it is EXDEV, more than 40
// links ELOOP; a dangling one that stays beneath is fine. Directories are
// opened by their path, so that the walk holds two descriptors at most; what
// lies deeper than the kernel resolves in one path is not judged.
// `stored`: the names the runs so far may have made on purpose.
void check_tree(const fs::path& destination, const std::unordered_set<std::string>& stored) {
  const Fd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  kov_fuzz::check(root.valid(), "the destination is no longer a directory");

  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    Fd opened(dir.empty() ? ::fcntl(root.get(), F_DUPFD_CLOEXEC, 0)
                          : static_cast<int>(open_resolved(root.get(), dir,
                                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW,
                                                           RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS)));
    if (!opened.valid() && errno == ENAMETOOLONG) continue;
    kov_fuzz::check(opened.valid(), "cannot open a directory under the destination");
    DIR* stream = ::fdopendir(opened.get());
    kov_fuzz::check(stream != nullptr, "cannot read a directory under the destination");
    const int dir_fd = opened.release();  // now owned by the stream
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(stream)) {
      const std::string name = item->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    for (const std::string& name : names) {
      const std::string path = dir.empty() ? name : dir + "/" + name;
      if (name.starts_with(TEMP_PREFIX) && !stored.contains(path))
        kov_fuzz::fail("temporary file left: " + path);
      struct stat status{};
      kov_fuzz::check(::fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0,
                      "cannot stat a name under the destination");
      if (S_ISDIR(status.st_mode)) {
        pending.push_back(path);
        continue;
      }
      if (!S_ISLNK(status.st_mode)) continue;
      std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
      const ssize_t length = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
      kov_fuzz::check(length >= 0, "cannot read a link under the destination");
      target.resize(static_cast<std::size_t>(length));
      // The link made before the run is left alone as long as it is unchanged.
      if (path == "out" && target == OUT_TARGET) continue;
      const Fd resolved(static_cast<int>(open_resolved(root.get(), path, O_PATH, RESOLVE_BENEATH)));
      if (resolved.valid() || errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
        continue;
      if (errno == EXDEV)
        kov_fuzz::fail("link resolves outside the destination: " + path + " -> " + target);
      if (errno == ELOOP)
        kov_fuzz::fail("link needs more than 40 links to resolve: " + path + " -> " + target);
      kov_fuzz::fail("cannot resolve a link under the destination: " + path + ": " +
                     std::strerror(errno));
    }
    ::closedir(stream);
  }
}

// A stored path or a directory it implies may itself look like a temporary name.
void add_stored(const std::vector<kov_core::archive::Entry>& entries,
                std::unordered_set<std::string>& stored) {
  for (const auto& entry : entries) {
    stored.insert(entry.path);
    for (std::size_t slash = entry.path.find('/'); slash != std::string::npos;
         slash = entry.path.find('/', slash + 1))
      stored.insert(entry.path.substr(0, slash));
  }
}

// One run of an input: the archive it extracts and how.
struct Run {
  std::optional<kov_fuzz::MemoryFile> file;  // none: a keyed frame too short to hold one
  std::uint8_t selection = 0;
  bool overwrite = false;
};

// The archive file of one part under its control byte, or none when a keyed
// frame is too short to hold one.
std::optional<std::vector<std::uint8_t>> archive_of(std::uint8_t control,
                                                    std::span<const std::uint8_t> bytes) {
  if (control & KEYED_FRAME) return kov_fuzz::keyed_archive(control, bytes);
  std::vector<std::uint8_t> file(bytes.begin(), bytes.end());
  if (control & REPAIR_ENTRIES) kov_fuzz::repair_entry_digests(file);
  kov_fuzz::repair(file, control);
  return file;
}

void add_run(std::deque<Run>& runs, std::uint8_t control, std::span<const std::uint8_t> bytes,
             std::uint8_t selection) {
  Run& run = runs.emplace_back();
  if (auto file = archive_of(control, bytes)) run.file.emplace(*file);
  run.selection = selection;
  run.overwrite = (control & OVERWRITE) != 0;
}

// The archive opened with `credential`, when it opens and its entries declare
// little enough.
std::optional<kov_core::archive::Archive> open_archive(
    const Run& run, const kov_core::crypto::EncryptionCredential& credential) {
  using namespace kov_fuzz;
  if (!run.file) return std::nullopt;
  auto opened = kov_core::archive::Archive::open_with_credential(run.file->path(), credential);
  if (!opened) {
    check_error(opened.error(), ARCHIVE_ERRORS, INDEX_ERRORS, SETTINGS_ERRORS);
    return std::nullopt;
  }
  std::uint64_t declared = 0;
  for (const auto& entry : opened->entries()) {
    if (entry.original_size > MAX_DECLARED_BYTES - declared) return std::nullopt;
    declared += entry.original_size;
  }
  return std::move(*opened);
}

// The stored paths of the entries `selection` picks; none for all of them.
std::vector<std::string> selected_paths(const kov_core::archive::Archive& archive,
                                        std::uint8_t selection) {
  std::vector<std::string> paths;
  const auto& entries = archive.entries();
  for (std::size_t i = 0; i < entries.size() && i < 8; ++i)
    if (selection & (1u << i)) paths.push_back(entries[i].path);
  return paths;
}

// One extraction: an opened archive, the credential it opened with, its run.
struct Step {
  const kov_core::archive::Archive* archive;
  const kov_core::crypto::EncryptionCredential* credential;
  const Run* run;
};

// Extracts the steps in turn into a fresh destination, checking what it
// holds after each.
void extract_in_turn(const std::vector<Step>& steps) {
  using namespace kov_fuzz;
  if (steps.empty()) return;
  const Scratch& root = scratch();
  root.prepare();
  std::unordered_set<std::string> stored;
  for (const Step& step : steps) {
    add_stored(step.archive->entries(), stored);
    const std::vector<std::string> paths = selected_paths(*step.archive, step.run->selection);
    auto extracted = step.archive->extract_with_credential(root.destination(), paths,
                                                           step.run->overwrite, *step.credential);
    if (!extracted)
      check_error(extracted.error(), EXTRACT_ERRORS, ARCHIVE_ERRORS, INDEX_ERRORS, SETTINGS_ERRORS);
    root.check_outside();
    check_tree(root.destination(), stored);
  }
  root.clean();
}

// Opens every run's archive both ways, then extracts the runs in turn without
// a credential and then with the key.
void extract_runs(const std::deque<Run>& runs) {
  const kov_core::crypto::EncryptionCredential none;
  const kov_core::crypto::EncryptionCredential& key = kov_fuzz::fixed_key();
  std::vector<std::optional<kov_core::archive::Archive>> plain;
  std::vector<std::optional<kov_core::archive::Archive>> keyed;
  for (const Run& run : runs) {
    plain.push_back(open_archive(run, none));
    keyed.push_back(open_archive(run, key));
  }
  std::vector<Step> steps;
  for (std::size_t i = 0; i < runs.size(); ++i)
    if (plain[i]) steps.push_back({&*plain[i], &none, &runs[i]});
  extract_in_turn(steps);
  steps.clear();
  bool any_keyed = false;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (keyed[i]) {
      steps.push_back({&*keyed[i], &key, &runs[i]});
      any_keyed = true;
    } else if (plain[i]) {
      steps.push_back({&*plain[i], &none, &runs[i]});
    }
  }
  if (any_keyed) extract_in_turn(steps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  std::deque<Run> runs;
  if (!(control & SECOND_RUN)) {
    add_run(runs, control, std::span(data + 1, size - 1), 0);
  } else {
    if (size < TWO_RUN_HEAD) return 0;
    const std::span<const std::uint8_t> rest(data + TWO_RUN_HEAD, size - TWO_RUN_HEAD);
    const std::size_t length =
        std::min<std::size_t>(data[4] | std::size_t{data[5]} << 8, rest.size());
    const auto first = rest.first(length);
    const auto second = length == rest.size() ? first : rest.subspan(length);
    add_run(runs, control, first, data[2]);
    add_run(runs, data[1], second, data[3]);
  }
  extract_runs(runs);
  return 0;
}

#ifdef KOV_LIBFUZZER
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

// Changes of structure that byte mutations all but never make, in one
// mutation of four: a one-run input becomes its archive twice, two archives
// trade places, a run picks other entries.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  std::minstd_rand random(seed);
  if (size == 0 || random() % 4 != 0) return LLVMFuzzerMutate(data, size, max_size);
  if (!(data[0] & SECOND_RUN)) {
    if (size - 1 + TWO_RUN_HEAD > max_size) return LLVMFuzzerMutate(data, size, max_size);
    std::memmove(data + TWO_RUN_HEAD, data + 1, size - 1);
    data[1] = data[0];
    data[0] |= SECOND_RUN;
    data[2] = data[3] = 0;
    data[4] = data[5] = 0xFF;
    return size - 1 + TWO_RUN_HEAD;
  }
  if (size < TWO_RUN_HEAD) return LLVMFuzzerMutate(data, size, max_size);
  const std::size_t rest = size - TWO_RUN_HEAD;
  const std::size_t length = std::min<std::size_t>(data[4] | std::size_t{data[5]} << 8, rest);
  if (random() % 2 == 0 && length < rest && rest - length <= 0xFFFF) {
    std::rotate(data + TWO_RUN_HEAD, data + TWO_RUN_HEAD + length, data + size);
    const auto second = static_cast<std::uint8_t>(data[1] | SECOND_RUN);
    data[1] = data[0];
    data[0] = second;
    std::swap(data[2], data[3]);
    data[4] = static_cast<std::uint8_t>(rest - length);
    data[5] = static_cast<std::uint8_t>((rest - length) >> 8);
  } else {
    data[2 + random() % 2] = random() % 2 ? static_cast<std::uint8_t>(1u << (random() % 8))
                                          : static_cast<std::uint8_t>(random());
  }
  return size;
}
#endif
