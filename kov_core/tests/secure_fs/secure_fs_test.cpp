#include "secure_fs/secure_fs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/flush_hook.hpp"
#include "util/flush_queue.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using kov_core::ErrorKind;
using kov_core::error::os_error_text;
using kov_core::secure_fs::components;
using kov_core::secure_fs::platform::link_then_unlink;
using kov_core::secure_fs::platform::PendingFile;
using kov_core::secure_fs::platform::Placed;
using kov_core::secure_fs::platform::Root;
using kov_core::util::Fd;
using kov_core::util::FlushQueue;
using kov_test::TempDir;

std::string os_error(int error_number) { return "I/O error: " + os_error_text(error_number); }

void put(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

std::string content(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const PendingFile& file, const std::string& text) {
  ASSERT_EQ(::write(file.fd(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::set<std::string> names(const fs::path& directory) {
  std::set<std::string> out;
  for (const auto& entry : fs::directory_iterator(directory))
    out.insert(entry.path().filename().string());
  return out;
}

Root open_root(const fs::path& destination) {
  auto root = Root::open(destination);
  if (!root) throw std::runtime_error(root.error().display());
  return std::move(*root);
}

mode_t mode_of(const fs::path& path) {
  struct stat status{};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// ---- components ----

TEST(Components, OrdinaryComponentsInOrder) {
  struct Case {
    std::string path;
    std::vector<std::string_view> expected;
  };
  const Case cases[] = {
      {"a//b/", {"a", "b"}}, {"a/./b", {"a", "b"}},     {"a/.", {"a"}},
      {"a", {"a"}},          {".a/..b", {".a", "..b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto parts = components(c.path);
    ASSERT_TRUE(parts.has_value()) << parts.error().display();
    EXPECT_EQ(*parts, c.expected);
  }
}

TEST(Components, RefusesWhatIsNotOrdinary) {
  struct Case {
    std::string path;
    const char* text;
  };
  const Case cases[] = {
      {"./a", "invalid input: unsafe extraction path: ./a"},
      {"/a", "invalid input: unsafe extraction path: /a"},
      {"a/../b", "invalid input: unsafe extraction path: a/../b"},
      {"..", "invalid input: unsafe extraction path: .."},
      {".", "invalid input: unsafe extraction path: ."},
      {"a/\xFF/..", "invalid input: unsafe extraction path: a/\xEF\xBF\xBD/.."},
      {"", "invalid input: empty extraction path"},
      {"//", "invalid input: unsafe extraction path: //"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_KOV_ERROR(components(c.path), ErrorKind::InvalidInput, c.text);
  }
}

// ---- Root::open ----

TEST(RootOpen, CreatesTheDestinationAndItsMissingParents) {
  const TempDir tmp;
  const Root root = open_root(tmp / "x/y/dest");
  EXPECT_TRUE(fs::is_directory(tmp / "x/y/dest"));
  EXPECT_EQ(mode_of(tmp / "x"), 0777 & ~current_umask());
}

TEST(RootOpen, LeavesAnExistingDirectoryAsItIs) {
  const TempDir tmp;
  fs::create_directory(tmp / "dest");
  ::chmod((tmp / "dest").c_str(), 0701);
  put(tmp / "dest/keep", "old");
  const Root root = open_root(tmp / "dest");
  EXPECT_EQ(mode_of(tmp / "dest"), 0701U);
  EXPECT_EQ(names(tmp / "dest"), std::set<std::string>{"keep"});
}

TEST(RootOpen, RefusesALinkAsDestinationAndANul) {
  const TempDir tmp;
  fs::create_directory(tmp / "real");
  fs::create_directory_symlink("real", tmp / "link");
  // O_NOFOLLOW with O_DIRECTORY: a link is not a directory, however it is
  // spelled (the kernel follows "link/" and "link/.").
  for (const char* spelling : {"link", "link/", "link/.", "link/./", "link//", "link/./."}) {
    SCOPED_TRACE(spelling);
    EXPECT_KOV_ERROR(Root::open(tmp / spelling), ErrorKind::Io, os_error(ENOTDIR));
  }
  EXPECT_TRUE(Root::open(tmp / "real/.").has_value());
  // Nothing is made for a destination with a NUL, not even the part before it.
  EXPECT_KOV_ERROR(Root::open(tmp.path() / "new\0tail"s), ErrorKind::InvalidInput,
                   "invalid input: destination contains NUL");
  EXPECT_EQ(names(tmp.path()), (std::set<std::string>{"link", "real"}));
}

// ---- create_file and commit ----

enum class Existing { Nothing, File, Directory, DanglingLink, LinkToFile, HardLinkedFile };

// Puts `kind` under dest/x; a link's target and a second hard link live outside dest.
void make_existing(const TempDir& tmp, Existing kind) {
  const fs::path target = tmp / "dest/x";
  switch (kind) {
    case Existing::Nothing:
      break;
    case Existing::File:
      put(target, "old");
      break;
    case Existing::Directory:
      fs::create_directory(target);
      put(target / "inner", "old");
      break;
    case Existing::DanglingLink:
      fs::create_symlink("../missing", target);
      break;
    case Existing::LinkToFile:
      put(tmp / "outside", "old");
      fs::create_symlink("../outside", target);
      break;
    case Existing::HardLinkedFile:
      put(tmp / "outside", "old");
      fs::create_hard_link(tmp / "outside", target);
      break;
  }
}

// What the existing node looks like when it was left alone.
void expect_untouched(const TempDir& tmp, Existing kind) {
  const fs::path target = tmp / "dest/x";
  switch (kind) {
    case Existing::Nothing:
      EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
      break;
    case Existing::File:
      EXPECT_EQ(content(target), "old");
      break;
    case Existing::Directory:
      EXPECT_EQ(names(target), std::set<std::string>{"inner"});
      break;
    case Existing::DanglingLink:
      EXPECT_EQ(fs::read_symlink(target), "../missing");
      break;
    case Existing::LinkToFile:
      EXPECT_EQ(fs::read_symlink(target), "../outside");
      EXPECT_EQ(content(tmp / "outside"), "old");
      break;
    case Existing::HardLinkedFile:
      EXPECT_EQ(content(target), "old");
      EXPECT_EQ(content(tmp / "outside"), "old");
      break;
  }
}

TEST(CreateFile, CommitOverEveryKindOfExistingNode) {
  enum class Outcome { Committed, CreateRefused, CommitRefused };
  struct Case {
    const char* name;
    Existing existing;
    bool overwrite;
    Outcome outcome;
  };
  const char* const exists = "invalid input: extraction target already exists: x";
  const char* const not_regular = "invalid input: overwrite target is not a regular file";
  const Case cases[] = {
      {"new name", Existing::Nothing, false, Outcome::Committed},
      {"file", Existing::File, false, Outcome::CreateRefused},
      {"directory", Existing::Directory, false, Outcome::CreateRefused},
      {"dangling link", Existing::DanglingLink, false, Outcome::CreateRefused},
      {"link to a file", Existing::LinkToFile, false, Outcome::CreateRefused},
      {"hard-linked file", Existing::HardLinkedFile, false, Outcome::CreateRefused},
      {"new name, overwrite", Existing::Nothing, true, Outcome::Committed},
      {"file, overwrite", Existing::File, true, Outcome::Committed},
      {"directory, overwrite", Existing::Directory, true, Outcome::CommitRefused},
      {"dangling link, overwrite", Existing::DanglingLink, true, Outcome::CommitRefused},
      {"link to a file, overwrite", Existing::LinkToFile, true, Outcome::CommitRefused},
      {"hard-linked file, overwrite", Existing::HardLinkedFile, true, Outcome::Committed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir tmp;
    Root root = open_root(tmp / "dest");
    make_existing(tmp, c.existing);
    auto pending = root.create_file("x", c.overwrite);
    if (c.outcome == Outcome::CreateRefused) {
      EXPECT_KOV_ERROR(pending, ErrorKind::InvalidInput, exists);
    } else {
      ASSERT_TRUE(pending.has_value()) << pending.error().display();
      write_all(*pending, "new");
      auto committed = std::move(*pending).commit();
      if (c.outcome == Outcome::CommitRefused) {
        EXPECT_KOV_ERROR(committed, ErrorKind::InvalidInput, not_regular);
      } else {
        ASSERT_TRUE(committed.has_value()) << committed.error().display();
        EXPECT_EQ(content(tmp / "dest/x"), "new");
        // Only the name is replaced: another link keeps the old content.
        if (c.existing == Existing::HardLinkedFile) {
          EXPECT_EQ(content(tmp / "outside"), "old");
        }
      }
    }
    if (c.outcome != Outcome::Committed) expect_untouched(tmp, c.existing);
    EXPECT_EQ(names(tmp / "dest"), std::set<std::string>{"x"}) << "a temporary file was left";
  }
}

TEST(CreateFile, CommitWithoutOverwriteNeverReplacesANodeThatAppeared) {
  for (const Existing kind : {Existing::File, Existing::Directory, Existing::DanglingLink}) {
    SCOPED_TRACE(static_cast<int>(kind));
    const TempDir tmp;
    Root root = open_root(tmp / "dest");
    auto pending = root.create_file("x", false);
    ASSERT_TRUE(pending.has_value());
    write_all(*pending, "new");
    make_existing(tmp, kind);
    EXPECT_KOV_ERROR(std::move(*pending).commit(), ErrorKind::Io, os_error(EEXIST));
    expect_untouched(tmp, kind);
    EXPECT_EQ(names(tmp / "dest"), std::set<std::string>{"x"});
  }
}

// The move for file systems without RENAME_NOREPLACE.
TEST(CreateFile, LinkThenUnlinkNeverReplaces) {
  const TempDir tmp;
  put(tmp / "temp", "new");
  put(tmp / "taken", "old");
  const Fd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_KOV_ERROR(link_then_unlink(dir.get(), "temp", "taken"), ErrorKind::Io, os_error(EEXIST));
  EXPECT_EQ(content(tmp / "taken"), "old");
  const auto placed = link_then_unlink(dir.get(), "temp", "free");
  ASSERT_TRUE(placed.has_value());
  EXPECT_EQ(placed->how, Placed::How::Moved);
  EXPECT_EQ(content(tmp / "free"), "new");
  EXPECT_EQ(names(tmp.path()), (std::set<std::string>{"free", "taken"}));
}

TEST(CreateFile, TemporaryNameIsFortyFiveCharactersOfPrefixAndHex) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  auto pending = root.create_file("x", false);
  ASSERT_TRUE(pending.has_value());
  const std::set<std::string> present = names(tmp / "dest");
  ASSERT_EQ(present.size(), 1U);
  const std::string& name = *present.begin();
  EXPECT_EQ(name.size(), 45U);
  EXPECT_TRUE(name.starts_with(".kov-partial-")) << name;
  EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 13), std::string::npos) << name;
  EXPECT_EQ(mode_of(tmp / "dest" / name), 0600 & ~current_umask());
}

TEST(CreateFile, ReleasedPendingFilesLeaveNothing) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  {
    auto pending = root.create_file("a", false);
    ASSERT_TRUE(pending.has_value());
    write_all(*pending, "lost");
  }
  EXPECT_TRUE(names(tmp / "dest").empty());
  // Assigning over a pending file releases it; the assigned one lives on.
  auto first = root.create_file("b", false);
  auto second = root.create_file("c", false);
  ASSERT_TRUE(first.has_value() && second.has_value());
  write_all(*second, "kept");
  *first = std::move(*second);
  EXPECT_EQ(names(tmp / "dest").size(), 1U);
  ASSERT_TRUE(std::move(*first).commit().has_value());
  EXPECT_EQ(names(tmp / "dest"), std::set<std::string>{"c"});
  EXPECT_EQ(content(tmp / "dest/c"), "kept");
}

TEST(CreateFile, SetModeKeepsOnlyThePermissionBits) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  auto pending = root.create_file("x", false);
  ASSERT_TRUE(pending.has_value());
  ASSERT_TRUE(pending->set_mode(04755).has_value());
  ASSERT_TRUE(std::move(*pending).commit().has_value());
  EXPECT_EQ(mode_of(tmp / "dest/x"), 0755U);
}

TEST(CreateFile, CommitAfterTheCallersOwnFlush) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  auto pending = root.create_file("x", false);
  ASSERT_TRUE(pending.has_value());
  write_all(*pending, "new");
  FlushQueue queue = FlushQueue::create(4);
  ASSERT_TRUE(queue.submit(pending->fd(), 1).has_value());
  auto completion = queue.wait_one();
  ASSERT_TRUE(completion.has_value() && completion->error == 0);
  pending->mark_flushed();
  ASSERT_TRUE(std::move(*pending).commit().has_value());
  EXPECT_EQ(content(tmp / "dest/x"), "new");
}

// ---- the walk ----

TEST(Walk, NeverEntersALinkOrANonDirectory) {
  const TempDir tmp;
  fs::create_directory(tmp / "outside");
  Root root = open_root(tmp / "dest");
  fs::create_directory_symlink("../outside", tmp / "dest/link");
  put(tmp / "dest/file", "old");
  for (const char* parent : {"link", "file"}) {
    SCOPED_TRACE(parent);
    const std::string error = os_error(ENOTDIR);
    const fs::path below = fs::path(parent) / "sub/x";
    EXPECT_KOV_ERROR(root.create_file(below, true), ErrorKind::Io, error);
    EXPECT_KOV_ERROR(root.create_symlink(below, "t"), ErrorKind::Io, error);
    EXPECT_KOV_ERROR(root.ensure_directory(below), ErrorKind::Io, error);
    EXPECT_KOV_ERROR(root.open_existing_file(below), ErrorKind::Io, error);
  }
  EXPECT_TRUE(names(tmp / "outside").empty());
  EXPECT_EQ(names(tmp / "dest"), (std::set<std::string>{"file", "link"}));
}

TEST(Walk, RefusalsOfPathsAndNames) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  EXPECT_KOV_ERROR(root.create_file("a/../b", false), ErrorKind::InvalidInput,
                   "invalid input: unsafe extraction path: a/../b");
  EXPECT_KOV_ERROR(root.ensure_directory(""), ErrorKind::InvalidInput,
                   "invalid input: empty extraction path");
  EXPECT_KOV_ERROR(root.create_file("a\0b"s, false), ErrorKind::InvalidInput,
                   "invalid input: path contains NUL");
  EXPECT_KOV_ERROR(root.create_symlink("l", "t\0u"s), ErrorKind::InvalidInput,
                   "invalid input: symbolic link target contains NUL");
  EXPECT_TRUE(names(tmp / "dest").empty());
}

TEST(Walk, EnsureDirectoryMakesMissingOnesAndKeepsExistingModes) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  fs::create_directory(tmp / "dest/a");
  ::chmod((tmp / "dest/a").c_str(), 0700);
  ASSERT_TRUE(root.ensure_directory("a/b/c").has_value());
  ASSERT_TRUE(root.ensure_directory("a/b/c").has_value());
  EXPECT_EQ(mode_of(tmp / "dest/a"), 0700U);
  EXPECT_EQ(mode_of(tmp / "dest/a/b/c"), 0755 & ~current_umask());
}

// ---- symbolic links and existing files ----

TEST(CreateSymlink, StoresTheTargetAndNeverReplaces) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  ASSERT_TRUE(root.create_symlink("d/l", "../a//b").has_value());
  EXPECT_EQ(fs::read_symlink(tmp / "dest/d/l").native(), "../a//b");
  for (const Existing kind :
       {Existing::File, Existing::Directory, Existing::DanglingLink, Existing::LinkToFile}) {
    SCOPED_TRACE(static_cast<int>(kind));
    fs::remove_all(tmp / "dest/x");
    make_existing(tmp, kind);
    EXPECT_KOV_ERROR(root.create_symlink("x", "t"), ErrorKind::Io, os_error(EEXIST));
    expect_untouched(tmp, kind);
  }
}

TEST(OpenExistingFile, OnlyARegularFile) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  put(tmp / "dest/file", "old");
  fs::create_directory(tmp / "dest/dir");
  ASSERT_EQ(::mkfifo((tmp / "dest/fifo").c_str(), 0600), 0);
  fs::create_symlink("file", tmp / "dest/link");
  auto file = root.open_existing_file("file");
  ASSERT_TRUE(file.has_value());
  char byte = 0;
  EXPECT_EQ(::read(file->get(), &byte, 1), 1);
  EXPECT_EQ(byte, 'o');
  EXPECT_KOV_ERROR(root.open_existing_file("fifo"), ErrorKind::InvalidInput,
                   "invalid input: extraction target is not a regular file: fifo");
  EXPECT_KOV_ERROR(root.open_existing_file("dir"), ErrorKind::Io, os_error(EISDIR));
  EXPECT_KOV_ERROR(root.open_existing_file("link"), ErrorKind::Io, os_error(ELOOP));
  EXPECT_KOV_ERROR(root.open_existing_file("missing/file"), ErrorKind::Io, os_error(ENOENT));
  EXPECT_FALSE(fs::exists(tmp / "dest/missing")) << "nothing is created";
}

// ---- durability of the new names ----

// Names the variants of a test that runs with and without io_uring.
std::string mode_name(const testing::TestParamInfo<bool>& param) {
  return param.param ? "Concurrent" : "OneAtATime";
}

class Syncing : public testing::TestWithParam<bool> {};

kov_core::secure_fs::DirectoryTree tree_of(const std::vector<std::pair<std::string, bool>>& paths) {
  kov_core::secure_fs::DirectoryTree tree;
  for (const auto& [path, is_directory] : paths) {
    auto added = tree.add(path, is_directory);
    if (!added) throw std::runtime_error(added.error().display());
  }
  return tree;
}

// The paths must outlive the trees made of them.
const std::vector<std::pair<std::string, bool>> PLANNED{
    {"d", true}, {"d/e/f", false}, {"d/e", true}, {"d/l", false}, {"g/h/i/j", false}};

TEST(DirectoryTree, HoldsEachDirectoryAboveTheEntriesOnce) {
  const auto tree = tree_of(PLANNED);
  EXPECT_EQ(tree.size(), 5U);  // d, d/e, g, g/h, g/h/i
  std::vector<kov_core::secure_fs::DirectoryTree::Node> first, children;
  tree.index_children(first, children);
  std::set<std::string> paths;
  for (kov_core::secure_fs::DirectoryTree::Node n = 1; n <= tree.size(); ++n) {
    std::string path(tree.name(n));
    for (auto p = tree.parent(n); p != 0; p = tree.parent(p))
      path = std::string(tree.name(p)) + "/" + path;
    paths.insert(path + (tree.is_entry(n) ? " entry" : ""));
    EXPECT_LT(tree.parent(n), n);
  }
  EXPECT_EQ(paths, (std::set<std::string>{"d entry", "d/e entry", "g", "g/h", "g/h/i"}));
  EXPECT_EQ(first.back(), tree.size());
  EXPECT_KOV_ERROR(kov_core::secure_fs::DirectoryTree().add("a/../b", false),
                   ErrorKind::InvalidInput, "invalid input: unsafe extraction path: a/../b");
  // A bound on its size keeps a crafted index from exhausting the memory.
  kov_core::secure_fs::DirectoryTree small(3);
  EXPECT_TRUE(small.add("a/b/c/f", false).has_value());
  EXPECT_TRUE(small.add("a/b/g", false).has_value());
  EXPECT_KOV_ERROR(small.add("a/x/f", false), ErrorKind::InvalidInput,
                   "invalid input: not enough memory to extract more than 3 directories");
}

TEST(DirectoryTree, MissingDirectoriesAreThoseNotThereAndNotEntries) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  const auto tree = tree_of(PLANNED);
  // d and d/e are entries, counted already; g, g/h and g/h/i are not.
  EXPECT_EQ(root.missing_directories(tree), 3U);
  fs::create_directories(tmp / "dest/g/h");
  EXPECT_EQ(root.missing_directories(tree), 1U);
  // A link is never entered: what lies behind it does not count as present.
  fs::remove_all(tmp / "dest/g");
  fs::create_directories(tmp / "elsewhere/h/i");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "dest/g");
  EXPECT_EQ(root.missing_directories(tree), 0U)
      << "a link counts as present: the extraction fails there";
}

TEST(DirectoryTree, ADeepPathCostsLinearly) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "d/";
  deep += "f";
  kov_core::secure_fs::DirectoryTree tree;
  ASSERT_TRUE(tree.add(deep, false).has_value());
  EXPECT_EQ(tree.size(), 20000U);
  EXPECT_EQ(root.missing_directories(tree), 20000U);
  auto pending = root.create_file(deep, false);
  ASSERT_TRUE(pending.has_value()) << pending.error().display();
  ASSERT_TRUE(std::move(*pending).commit().has_value());
  EXPECT_EQ(root.missing_directories(tree), 0U);
  FlushQueue queue = FlushQueue::create(8, true);
  const auto synced = root.sync(tree, queue);
  EXPECT_TRUE(synced.has_value()) << synced.error().display();
}

// The walks of a tree climb back through "..": a directory moved out of the
// destination meanwhile must not lead them into the tree it was moved to.
fs::path moved_from, moved_to;

void move_away_from_x(std::string_view leaving) {
  std::error_code failed;  // seen by the test: nothing lands at moved_to
  if (leaving == "x") fs::rename(moved_from, moved_to, failed);
}

TEST(DirectoryTree, AWalkLedOutOfTheDestinationStops) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  static const std::vector<std::pair<std::string, bool>> paths{{"d/x/f", false}, {"g/f", false}};
  const auto tree = tree_of(paths);
  fs::create_directories(tmp / "dest/d/x");
  fs::create_directory(tmp / "dest/g");
  // Taken for the destination, this tree would pass for it.
  fs::create_directories(tmp / "outside/g");
  moved_from = tmp / "dest/d";
  moved_to = tmp / "outside/d";
  FlushQueue one_at_a_time = FlushQueue::create(4, false);
  FlushQueue concurrent = FlushQueue::create(4, true);
  struct Case {
    const char* name;
    std::function<kov_core::Result<void>()> walk;
  };
  const Case cases[] = {
      {"missing directories",
       [&]() -> kov_core::Result<void> {
         auto missing = root.missing_directories(tree);
         if (!missing) return std::unexpected(std::move(missing).error());
         return {};
       }},
      {"sync, one at a time", [&] { return root.sync(tree, one_at_a_time); }},
      {"sync, concurrent", [&] { return root.sync(tree, concurrent); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (fs::exists(moved_to)) fs::rename(moved_to, moved_from);
    kov_core::util::test_hooks::leaving_directory = move_away_from_x;
    const auto walked = c.walk();
    kov_core::util::test_hooks::leaving_directory = nullptr;
    ASSERT_TRUE(fs::exists(moved_to)) << "the walk went into d/x";
    EXPECT_KOV_ERROR(walked, ErrorKind::Io, "I/O error: destination changed while it was read");
  }
  EXPECT_EQ(one_at_a_time.in_flight(), 0U);
  EXPECT_EQ(concurrent.in_flight(), 0U);
}

TEST_P(Syncing, ADirectoryThatVanishedIsAnError) {
  const TempDir tmp;
  Root root = open_root(tmp / "dest");
  const std::string path = "d/l";
  kov_core::secure_fs::DirectoryTree tree;
  ASSERT_TRUE(tree.add(path, false).has_value());
  ASSERT_TRUE(root.create_symlink(path, "t").has_value());
  fs::remove_all(tmp / "dest/d");
  FlushQueue queue = FlushQueue::create(2, GetParam());
  EXPECT_KOV_ERROR(root.sync(tree, queue), ErrorKind::Io, os_error(ENOENT));
  EXPECT_EQ(queue.in_flight(), 0U);
}

// Root reads unreadable directories anyway; without the DAC capabilities in
// its effective set it is held to the modes like anyone else.
class WithoutDacOverride {
 public:
  WithoutDacOverride() {
    if (::geteuid() != 0) return;
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  WithoutDacOverride(const WithoutDacOverride&) = delete;
  WithoutDacOverride& operator=(const WithoutDacOverride&) = delete;
  ~WithoutDacOverride() {
    if (dropped_) ::syscall(SYS_capset, &header_, saved_);
  }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

TEST_P(Syncing, AnUnreadableDirectoryIsFlushedWithItsFileSystem) {
  const TempDir tmp;
  fs::create_directory(tmp / "p");
  Root root = open_root(tmp / "p/dest");
  const std::string path = "sub/l";
  kov_core::secure_fs::DirectoryTree tree;
  ASSERT_TRUE(tree.add(path, false).has_value());
  ASSERT_TRUE(root.create_symlink(path, "t").has_value());
  ::chmod((tmp / "p").c_str(), 0333);
  ::chmod((tmp / "p/dest/sub").c_str(), 0333);
  FlushQueue queue = FlushQueue::create(2, GetParam());
  kov_core::Result<void> synced;
  bool unreadable = false;
  {
    const WithoutDacOverride unprivileged;
    const Fd probe(::open((tmp / "p").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unreadable = !probe.valid() && errno == EACCES;
    kov_test::whole_flushes = 0;
    const kov_test::FlushHook counting(kov_test::count_whole_flushes);
    if (unreadable) synced = root.sync(tree, queue);
  }
  ::chmod((tmp / "p/dest/sub").c_str(), 0755);
  ::chmod((tmp / "p").c_str(), 0755);
  if (!unreadable) GTEST_SKIP() << "directory modes are not enforced for this process";
  ASSERT_TRUE(synced.has_value()) << synced.error().display();
  EXPECT_EQ(kov_test::whole_flushes, 1);
}

INSTANTIATE_TEST_SUITE_P(, Syncing, testing::Bool(), mode_name);

}  // namespace
