// Extraction: what appears under the destination, in both flush modes, and
// what never appears: nothing outside it, nothing through a link, no damaged
// file under its final name, no temporary file after a failure.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/progress.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/flush_hook.hpp"

namespace {

using namespace kov_core;
using archive::Archive;
using kov_test::Bytes;
using kov_test::Item;
using kov_test::text_bytes;
namespace fs = std::filesystem;

constexpr format::Version V030{0, 3, 0};

using kov_test::dir;
using kov_test::file;
using kov_test::link;

std::string read_text(const fs::path& path) {
  const Bytes b = kov_test::read_file(path);
  return std::string(b.begin(), b.end());
}

// Every name below `root`, relative, sorted; temporary files included.
std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); ++it)
    names.push_back(fs::relative(it->path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

bool has_temporary(const fs::path& root) {
  for (const std::string& name : tree(root))
    if (name.find(".kov-partial-") != std::string::npos) return true;
  return false;
}

std::uint32_t mode_of(const fs::path& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class Extracting : public ::testing::TestWithParam<bool> {
 protected:
  Archive open(const std::vector<Item>& items) {
    const fs::path path = dir_ / ("a" + std::to_string(n_++) + ".kov");
    kov_test::write_file(path, kov_test::valid_archive(V030, items));
    auto opened = Archive::open(path);
    EXPECT_TRUE(opened) << opened.error().display();
    return std::move(*opened);
  }
  Result<std::uint64_t> extract(const Archive& archive, const fs::path& destination,
                                const std::vector<std::string>& names = {},
                                bool overwrite = false) {
    archive::ExtractionOptions options;
    options.concurrent_flushes = GetParam();
    return archive::extract_archive(archive, destination, names, overwrite, {}, options);
  }

  kov_test::TempDir dir_;
  int n_ = 0;
};

INSTANTIATE_TEST_SUITE_P(FlushModes, Extracting, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Concurrent" : "OneAtATime";
                         });

TEST_P(Extracting, RestoresFilesLinksDirectoriesAndModes) {
  std::vector<Item> items{dir("d"), file("d/a", "alpha", 04755), link("d/l", "a"), dir("d/sub"),
                          file("d/sub/empty", "", 0600)};
  // Enough files for many flushes to be in flight at once.
  for (int i = 0; i < 300; ++i)
    items.push_back(file("d/sub/f" + std::to_string(1000 + i), std::to_string(i), 0640));
  // Large enough to be written through the kernel's workers.
  std::string big(5u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 >> 7);
  items.push_back(file("d/big", big, 0600));
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.path < b.path; });
  const Archive archive = open(items);
  const fs::path out = dir_ / "out" / "deeper";
  auto count = extract(archive, out);
  ASSERT_TRUE(count) << count.error().display();
  EXPECT_EQ(*count, 304u);  // files and links; directories are not counted
  EXPECT_EQ(read_text(out / "d" / "big"), big);
  EXPECT_EQ(read_text(out / "d" / "a"), "alpha");
  EXPECT_EQ(mode_of(out / "d" / "a"), 0755u);  // only the permission bits
  EXPECT_EQ(fs::read_symlink(out / "d" / "l"), "a");
  EXPECT_EQ(read_text(out / "d" / "sub" / "f1299"), "299");
  EXPECT_EQ(mode_of(out / "d" / "sub" / "f1000"), 0640u);
  EXPECT_EQ(mode_of(out / "d" / "sub" / "empty"), 0600u);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(mode_of(out / "d" / "sub"), 0755u & ~mask);
  EXPECT_FALSE(has_temporary(out));
  EXPECT_EQ(kov_progress_completed(), kov_progress_total());
}

// Many files, most in one flat directory, under common and tiny descriptor
// limits: the window is sized from the descriptors actually free, and a
// window larger than they allow shrinks instead of failing.
TEST_P(Extracting, FewDescriptorsAreEnough) {
  std::vector<Item> items{dir("flat")};
  for (int i = 0; i < 1500; ++i) items.push_back(file("flat/f" + std::to_string(1000 + i), "x"));
  for (int d = 0; d < 50; ++d)
    for (int i = 0; i < 10; ++i)
      items.push_back(file("tree/d" + std::to_string(10 + d) + "/f" + std::to_string(i), "y"));
  const Archive archive = open(items);
  struct Case {
    rlim_t limit;
    unsigned window;  // 0: sized by the extraction
  };
  const Case cases[] = {{32, 0}, {64, 0}, {128, 0}, {200, 0}, {256, 0}, {512, 0}, {40, 128}};
  // Descriptors do not depend on the file system: a memory one, where there
  // is one, spares the disk thousands of flushes.
  const kov_test::TempDir memory(fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir_.path());
  // One child per limit, all at once.
  std::vector<std::pair<pid_t, fs::path>> children;
  for (const Case& c : cases) {
    const fs::path out =
        memory / ("out" + std::to_string(c.limit) + "-" + std::to_string(c.window));
    const pid_t child = ::fork();
    if (child == 0) {
      const struct rlimit low{c.limit, c.limit};
      if (::setrlimit(RLIMIT_NOFILE, &low) != 0) ::_exit(2);
      archive::ExtractionOptions options;
      options.concurrent_flushes = GetParam();
      options.flush_window = c.window;
      auto count = archive::extract_archive(archive, out, {}, false, {}, options);
      if (!count) std::fprintf(stderr, "%s\n", count.error().display().c_str());
      ::_exit(count && *count == 2000 ? 0 : 1);
    }
    children.emplace_back(child, out);
  }
  for (const auto& [child, out] : children) {
    SCOPED_TRACE(out);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tree(out).size(), 2000u + 1 + 1 + 50);
    EXPECT_FALSE(has_temporary(out));
  }
}

TEST_P(Extracting, SecondExtractionStopsAtTheFirstExistingName) {
  const Archive archive =
      open({dir("d"), file("d/a", "one"), link("d/b", "a"), file("d/c", "three")});
  const fs::path out = dir_ / "out";
  ASSERT_TRUE(extract(archive, out));
  kov_test::write_file(out / "d" / "a", text_bytes("changed"));
  EXPECT_KOV_ERROR(extract(archive, out), ErrorKind::InvalidInput,
                   "invalid input: extraction target already exists: d/a");
  EXPECT_EQ(read_text(out / "d" / "a"), "changed");
  // With overwrite files are replaced, but a link never is.
  EXPECT_KOV_ERROR(extract(archive, out, {}, true), ErrorKind::Io,
                   "I/O error: File exists (os error 17)");
  EXPECT_EQ(read_text(out / "d" / "a"), "one");
  fs::remove(out / "d" / "b");
  fs::remove(out / "d" / "c");
  ASSERT_TRUE(extract(archive, out, {}, true));
  EXPECT_EQ(read_text(out / "d" / "c"), "three");
  EXPECT_FALSE(has_temporary(out));
}

TEST_P(Extracting, SelectionIsExactAndBringsWhatIsBelowADirectory) {
  const Archive archive = open({dir("d"), file("d/x", "x"), dir("d/y"), file("d/y/z", "z"),
                                dir("d2"), file("d2/x", "2"), file("top", "t")});
  struct Case {
    const char* name;
    std::vector<std::string> selected;
    std::vector<std::string> expected;  // empty with an error
    std::string error;
  };
  const std::vector<Case> cases{
      {"a directory and what is below it, not its namesakes",
       {"d"},
       {"d", "d/x", "d/y", "d/y/z"},
       ""},
      {"one file in a directory that is not selected", {"d/y/z"}, {"d", "d/y", "d/y/z"}, ""},
      {"duplicates collapse", {"top", "top"}, {"top"}, ""},
      {"a trailing slash", {"d/"}, {}, "invalid input: selected entry was not found: d/"},
      {"letter case", {"TOP"}, {}, "invalid input: selected entry was not found: TOP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = dir_ / ("sel" + std::to_string(n_++));
    auto count = extract(archive, out, c.selected);
    if (c.error.empty()) {
      ASSERT_TRUE(count) << count.error().display();
      EXPECT_EQ(tree(out), c.expected);
    } else {
      EXPECT_KOV_ERROR(count, ErrorKind::InvalidInput, c.error);
      EXPECT_FALSE(fs::exists(out));  // nothing is made before the selection is known good
    }
  }
  // A directory made on demand gets 0755 less the umask, not its archived mode.
  const Archive strict = open({kov_test::stored_item("p", 2, "", 0700), file("p/f", "f")});
  const fs::path out = dir_ / "demand";
  ASSERT_TRUE(extract(strict, out, {"p/f"}));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(mode_of(out / "p"), 0755u & ~mask);
}

TEST_P(Extracting, EmptySelectionOfAnEmptyArchiveMakesOnlyTheDestination) {
  const Archive empty = open({});
  auto count = extract(empty, dir_ / "new");
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, 0u);
  EXPECT_TRUE(fs::is_directory(dir_ / "new"));
  EXPECT_EQ(kov_progress_total(), 0u);
  const Archive dirs = open({dir("a"), dir("a/b")});
  EXPECT_EQ(extract(dirs, dir_ / "dirs").value(), 0u);
}

TEST_P(Extracting, NothingIsWrittenOutsideOrThroughALink) {
  const fs::path outside = dir_ / "outside";
  fs::create_directories(outside);
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  fs::create_directory_symlink(outside, out / "x");
  struct Case {
    const char* name;
    std::vector<Item> items;
    ErrorKind kind;
  };
  const std::vector<Case> cases{
      {"a file below a link that is already there", {file("x/passwd", "owned")}, ErrorKind::Io},
      {"a link below a link that is already there", {link("x/l", "y")}, ErrorKind::Io},
      {"a directory below a link that is already there", {dir("x/sub")}, ErrorKind::Io},
      // The link of the archive leads through x, so it is refused itself.
      {"a file through a link of the archive",
       {link("l", "x"), file("l/f", "owned")},
       ErrorKind::Corrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto count = extract(open(c.items), out);
    ASSERT_FALSE(count);
    EXPECT_EQ(count.error().kind(), c.kind) << count.error().display();
    EXPECT_TRUE(fs::is_empty(outside));
    fs::remove(out / "l");
  }
  EXPECT_FALSE(has_temporary(out));
}

TEST_P(Extracting, UnsafeStoredPathsNeverReachTheDestination) {
  // Index decoding refuses them when the archive is opened: nothing is made.
  for (const std::string& path : std::vector<std::string>{"../evil", "/etc/evil", "a\\b",
                                                          std::string("a\0b", 3), "./a", "a//b"}) {
    SCOPED_TRACE(path);
    const fs::path archive = dir_ / "crafted.kov";
    kov_test::write_file(archive, kov_test::valid_archive(V030, {file(path, "owned")}));
    auto opened = Archive::open(archive);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind(), ErrorKind::Corrupt) << opened.error().display();
  }
  EXPECT_EQ(tree(dir_.path()), std::vector<std::string>{"crafted.kov"});
}

TEST_P(Extracting, AFileAboveALaterEntryIsInPlaceFirst) {
  // Index decoding does not examine order: a crafted archive may hold a file
  // and then an entry below it. The file gets its name first, so the entry
  // below it meets a file, not a directory made in its place.
  const Archive archive = open({file("a", "file"), file("a/b", "below")});
  const fs::path out = dir_ / "out";
  EXPECT_KOV_ERROR(extract(archive, out), ErrorKind::Io,
                   "I/O error: Not a directory (os error 20)");
  EXPECT_EQ(read_text(out / "a"), "file");
  EXPECT_FALSE(has_temporary(out));
}

TEST_P(Extracting, FailureKeepsWhatCameBeforeAndNothingAfter) {
  Item damaged = file("b", "bravo");
  damaged.stored = text_bytes("brav0");
  std::vector<Item> items{file("a", "alpha"), damaged};
  for (int i = 0; i < 50; ++i) items.push_back(file("c" + std::to_string(100 + i), "later"));
  const Archive archive = open(items);
  const fs::path out = dir_ / "out";
  EXPECT_KOV_ERROR(extract(archive, out), ErrorKind::Corrupt,
                   "corrupt archive: b content hash/size mismatch");
  EXPECT_EQ(tree(out), std::vector<std::string>{"a"});
  // A damaged file among files waiting for their flush: those before it are placed.
  std::vector<Item> many;
  for (int i = 0; i < 40; ++i) many.push_back(file("f" + std::to_string(100 + i), "ok"));
  Item bad = file("g", "good");
  bad.stored = text_bytes("goodXX");
  many.push_back(bad);
  many.push_back(file("h", "never"));
  const fs::path second = dir_ / "second";
  EXPECT_KOV_ERROR(extract(open(many), second), ErrorKind::Corrupt,
                   "corrupt archive: g expands beyond declared size");
  EXPECT_EQ(tree(second).size(), 40u);
  EXPECT_FALSE(has_temporary(second));
}

// How often each directory was flushed, by device and inode.
std::map<std::pair<dev_t, ino_t>, int> directory_flushes;

int count_directory_flushes(int fd, util::test_hooks::FlushScope scope) {
  struct stat st{};
  if (scope == util::test_hooks::FlushScope::Descriptor && ::fstat(fd, &st) == 0 &&
      S_ISDIR(st.st_mode))
    ++directory_flushes[{st.st_dev, st.st_ino}];
  return 0;
}

int fail_file_flushes(int fd, util::test_hooks::FlushScope) {
  return kov_test::file_type(fd) == S_IFREG ? EIO : 0;
}

TEST_P(Extracting, ARerunFlushesTheDestinationAndEveryDirectoryAboveIt) {
  // The failed run made new, new/deeper and new/deeper/dest and flushed none of them.
  const Archive archive = open({file("a", "alpha")});
  const fs::path destination = dir_ / "new" / "deeper" / "dest";
  {
    const kov_test::FlushHook failing(fail_file_flushes);
    EXPECT_KOV_ERROR(extract(archive, destination), ErrorKind::Io,
                     "I/O error: Input/output error (os error 5)");
  }
  ASSERT_TRUE(fs::is_directory(destination));
  directory_flushes.clear();
  {
    const kov_test::FlushHook counting(count_directory_flushes);
    auto count = extract(archive, destination);
    ASSERT_TRUE(count) << count.error().display();
  }
  // Each once, up to the root of the destination's file system.
  std::map<std::pair<dev_t, ino_t>, int> expected;
  for (const auto& directory : kov_test::up_to_file_system_root(destination))
    expected[directory] = 1;
  EXPECT_GE(expected.size(), 5u);  // dest, deeper, new, the test's directory and above
  EXPECT_EQ(directory_flushes, expected);
}

TEST_P(Extracting, ADirectoryFlushRefusedWithEinvalFlushesTheFileSystemInstead) {
  const Archive archive = open({dir("d"), file("d/a", "alpha")});
  {
    kov_test::whole_flushes = 0;
    const kov_test::FlushHook refusing(kov_test::refuse_flushes_of<S_IFDIR>);
    auto count = extract(archive, dir_ / "out");
    ASSERT_TRUE(count) << count.error().display();
    EXPECT_EQ(kov_test::whole_flushes, 1) << "once for the file system of every directory";
  }
  EXPECT_EQ(read_text(dir_ / "out" / "d" / "a"), "alpha");
  const kov_test::FlushHook refusing(kov_test::refuse_flushes_of<S_IFREG>);
  EXPECT_KOV_ERROR(extract(archive, dir_ / "second"), ErrorKind::Io,
                   "I/O error: Invalid argument (os error 22)");
  EXPECT_EQ(tree(dir_ / "second"), std::vector<std::string>{"d"});
}

TEST_P(Extracting, ResourceForksAreRefusedWithNothingLeftBehind) {
  Item fork = kov_test::stored_item("f", 3, "fork data");
  const Archive archive = open({file("e", "first"), file("f", "owner"), fork});
  const fs::path out = dir_ / "out";
  EXPECT_KOV_ERROR(extract(archive, out), ErrorKind::Unsupported,
                   "unsupported feature: resource forks can be restored only on macOS");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"e", "f"}));
  EXPECT_EQ(read_text(out / "f"), "owner");
  // Selecting the path selects the fork stored under it too.
  const fs::path alone = dir_ / "alone";
  EXPECT_KOV_ERROR(extract(archive, alone, {"f"}), ErrorKind::Unsupported,
                   "unsupported feature: resource forks can be restored only on macOS");
  EXPECT_EQ(tree(alone), std::vector<std::string>{"f"});
  const Archive orphan_order = open({fork, file("f", "owner")});
  EXPECT_KOV_ERROR(extract(orphan_order, dir_ / "order"), ErrorKind::Corrupt,
                   "corrupt archive: resource fork has no safe data-fork owner: f");
}

TEST(Preflight, CountsBytesEntriesAndForkStaging) {
  archive::Entry f;
  f.path = "f";
  f.original_size = 10;
  archive::Entry fork = f;
  fork.kind = archive::EntryKind::ResourceFork;
  fork.original_size = 5;
  archive::Entry d;
  d.kind = archive::EntryKind::Directory;
  const std::vector<const archive::Entry*> all{&d, &f, &fork};
  auto need = archive::preflight_extraction(all);
  ASSERT_TRUE(need);
  EXPECT_EQ(need->bytes, 25u);  // the file, then its staged copy and the fork
  EXPECT_EQ(need->entries, 2u);
  const std::vector<const archive::Entry*> orphan{&fork};
  EXPECT_KOV_ERROR(archive::preflight_extraction(orphan), ErrorKind::Corrupt,
                   "corrupt archive: resource fork has no selected owner: f");
  archive::Entry huge = f;
  huge.original_size = UINT64_MAX;
  const std::vector<const archive::Entry*> overflow{&f, &huge};
  EXPECT_KOV_ERROR(archive::preflight_extraction(overflow), ErrorKind::Corrupt,
                   "corrupt archive: total extracted size overflow");
  const std::vector<const archive::Entry*> staged{&huge, &fork};
  EXPECT_KOV_ERROR(archive::preflight_extraction(staged), ErrorKind::Corrupt,
                   "corrupt archive: resource-fork staging size overflow");
}

TEST(Preflight, KeepsAReserveOfSpaceAndInodes) {
  struct Case {
    std::uint64_t bytes, entries, blocks, fragment, inodes;
    std::string error;  // empty: passes
  };
  const std::string ii = "invalid input: ";
  const std::vector<Case> cases{
      // 100 MiB free: 5 MiB stay free.
      {95ull << 20, 1, 100 << 10, 1024, 0, ""},
      {(95ull << 20) + 1, 1, 100 << 10, 1024, 0,
       ii + "extraction requires 99614721 bytes but only 99614720 bytes are safely available"},
      // 10 GiB free: the reserve stops at 64 MiB.
      {(10ull << 30) - (64ull << 20), 1, 10 << 20, 1024, 0, ""},
      // 2000 free inodes leave 976.
      {0, 1500, 1, 4096, 2000,
       ii + "extraction requires 1500 filesystem entries but only 2000 inodes are available"},
      {0, 976, 1, 4096, 2000, ""},
      {0, 1, 1, 4096, 1000,
       ii + "extraction requires 1 filesystem entries but only 1000 inodes are available"},
      // A file system that reports no inodes is not checked.
      {0, 1'000'000, 1, 4096, 0, ""},
      // Huge figures saturate instead of wrapping.
      {1ull << 62, 1, UINT64_MAX, 1ull << 40, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto result = archive::check_capacity({c.bytes, c.entries}, c.blocks, c.fragment, c.inodes);
    if (c.error.empty())
      EXPECT_TRUE(result) << result.error().display();
    else
      EXPECT_KOV_ERROR(result, ErrorKind::InvalidInput, c.error);
  }
}

// Runs `body` in a child with a private mount namespace and a small tmpfs at
// `mount_point`; returns the child's exit status, or -1 when that cannot be set up.
int with_small_tmpfs(const fs::path& mount_point, const char* options,
                     const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, options) != 0)
      ::_exit(77);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_P(Extracting, SpaceAndInodesAreCheckedFirstAndAFullDiskLeavesNoTemporaryFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private tmpfs needs root (a mount namespace)";
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  // 2 MiB of content does not fit in 1 MiB.
  const Archive big = open({file("big", std::string(2u << 20, 'b'))});
  // 100 one-byte files take a page each: they pass the check and then fill 256 KiB.
  std::vector<Item> pages;
  for (int i = 0; i < 100; ++i) pages.push_back(file("p" + std::to_string(100 + i), "x"));
  const Archive many = open(pages);
  const int status = with_small_tmpfs(small, "size=1m,nr_inodes=2000", [&] {
    auto count = extract(big, small / "out");
    if (count || count.error().display() !=
                     "invalid input: extraction requires 2097152 bytes but only 996148 bytes are "
                     "safely available")
      return 1;
    if (!fs::is_empty(small / "out")) return 2;
    return 0;
  });
  if (status == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0);
  const int full = with_small_tmpfs(small, "size=256k", [&] {
    auto count = extract(many, small / "out");
    if (count || count.error().display() != "I/O error: No space left on device (os error 28)")
      return 1;
    return has_temporary(small / "out") ? 2 : 0;
  });
  EXPECT_EQ(full, 0);
}

// One file 20,000 directories deep: every directory it implies needs an
// inode, and the work stays linear in the path's length.
TEST_P(Extracting, ADeepEntryIsCountedByThePreflightAndExtractedInLinearTime) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "d/";
  const Archive archive = open({file(deep + "f", "deep")});
  // On a memory file system where there is one: the 20,000 flushes of
  // directories would time the disk, not the extraction.
  const kov_test::TempDir memory(fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir_.path());
  const auto started = std::chrono::steady_clock::now();
  auto count = extract(archive, memory / "out");
  ASSERT_TRUE(count) << count.error().display();
  EXPECT_EQ(*count, 1u);
  // Quadratic work took minutes here; linear work takes well under a second.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  const Bytes content = [&] {
    // The path is longer than the kernel takes at once: open it a piece at a time.
    int fd = ::open((memory / "out").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 20000 && fd >= 0; i += 1000) {
      std::string piece;
      for (int j = 0; j < 1000; ++j) piece += j == 0 ? "d" : "/d";
      const int next = ::openat(fd, piece.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(fd);
      fd = next;
    }
    const int file_fd = fd < 0 ? -1 : ::openat(fd, "f", O_RDONLY);
    if (fd >= 0) ::close(fd);
    Bytes out(16);
    const ssize_t n = file_fd < 0 ? -1 : ::read(file_fd, out.data(), out.size());
    if (file_fd >= 0) ::close(file_fd);
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
  }();
  EXPECT_EQ(content, text_bytes("deep"));

  if (::geteuid() != 0) GTEST_SKIP() << "a private tmpfs needs root (a mount namespace)";
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  const int status = with_small_tmpfs(small, "size=64m,nr_inodes=3000", [&] {
    auto refused = extract(archive, small / "out");
    if (refused ||
        refused.error().display().find("extraction requires 20001 filesystem entries but only") ==
            std::string::npos)
      return 1;
    return fs::is_empty(small / "out") ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0);
}

}  // namespace
