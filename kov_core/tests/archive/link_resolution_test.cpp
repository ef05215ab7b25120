// Link targets checked by what they resolve to: through the archive's own
// links when testing and extracting, and through the links already under the
// destination when extracting. After every extraction no link it made may
// resolve outside the destination, whether it succeeded or not.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <set>

#include "archive/archive_internal.hpp"
#include "archive/link_resolution.hpp"
#include "kov_core/archive.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using archive::Archive;
using kov_test::Bytes;
using kov_test::Item;
namespace fs = std::filesystem;

constexpr format::Version V030{0, 3, 0};

using kov_test::dir;
using kov_test::file;
using kov_test::link;
using kov_test::text_bytes;

// An entry whose stored bytes do not match its recorded hash.
Item damaged(Item item) {
  item.stored.back() ^= 1;
  return item;
}

std::string unsafe(std::string_view path) {
  return "corrupt archive: unsafe symbolic link " + std::string(path) +
         ": target escapes the archive root";
}

std::string up_from(std::string_view path, std::string_view name) {
  return "corrupt archive: unsafe symbolic link " + std::string(path) + ": \"..\" after " +
         std::string(name) + ", which is not a directory";
}

std::string repeat(std::string_view part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

// c1 -> c2 -> ... -> c<n> -> f: n links to follow from c1.
std::vector<Item> chain(int n) {
  std::vector<Item> items{file("f", "end")};
  for (int i = 1; i <= n; ++i)
    items.push_back(link("c" + std::to_string(i), i == n ? "f" : "c" + std::to_string(i + 1)));
  return items;
}

std::set<fs::path> links_below(const fs::path& root) {
  std::set<fs::path> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); ++it)
    if (it->is_symlink()) found.insert(it->path());
  return found;
}

// The links below `root`, other than `known`, that resolve outside it.
std::vector<std::string> escaping(const fs::path& root, const std::set<fs::path>& known = {}) {
  const fs::path inside = fs::canonical(root);
  std::vector<std::string> out;
  for (const fs::path& found : links_below(root)) {
    if (known.contains(found)) continue;
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(found, ec);
    const auto [end, _] =
        std::mismatch(inside.begin(), inside.end(), resolved.begin(), resolved.end());
    if (ec || end != inside.end()) out.push_back(found.lexically_relative(root).string());
  }
  return out;
}

class LinkResolving : public ::testing::Test {
 protected:
  // Writes an archive of `items` and opens it into `archive`; a failure to
  // open is fatal, so call it under ASSERT_NO_FATAL_FAILURE.
  void open(const std::vector<Item>& items, std::optional<Archive>& archive) {
    const fs::path path = dir_ / ("a" + std::to_string(n_++) + ".kov");
    kov_test::write_file(path, kov_test::valid_archive(V030, items));
    auto opened = Archive::open(path);
    ASSERT_TRUE(opened) << opened.error().display();
    archive.emplace(std::move(*opened));
  }
  // A fresh destination beside an empty directory "outside".
  fs::path destination() {
    const fs::path place = dir_ / ("case" + std::to_string(n_++));
    fs::create_directories(place / "out");
    fs::create_directories(place / "outside");
    return place / "out";
  }

  kov_test::TempDir dir_;
  int n_ = 0;
};

struct Case {
  const char* name;
  std::vector<Item> items;
  std::string error;                // empty: accepted
  std::vector<std::string> made;    // after extraction
  std::vector<std::string> absent;  // after extraction
};

std::vector<Case> archive_cases() {
  const std::string twelve = "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/d11/d12";
  std::vector<Case> cases{
      {"a link to the root, then a '..' after it",
       {link("a/b/l", "../.."), link("esc", "a/b/l/../outside")},
       unsafe("esc"),
       {"a/b/l"},
       {"esc"}},
      {"the same twelve levels deep reaches /etc/passwd",
       {link(twelve + "/l", repeat("../", 11) + ".."),
        link("esc", twelve + "/l/" + repeat("../", 13) + "etc/passwd")},
       unsafe("esc"),
       {twelve + "/l"},
       {"esc"}},
      {"a later link makes an earlier one leave",
       {link("esc", "a/b/l/../outside"), link("a/b/l", "../..")},
       unsafe("esc"),
       {},
       {"esc", "a"}},
      {"a '..' after a later link: the run may stop before that link exists",
       {link("t", "x/../y"), file("a/f", "f"), damaged(file("u", "data")), link("x", "a")},
       unsafe("t"),
       {},
       {"t", "u", "x"}},
      {"a '..' after what a later link leads to, which is no directory",
       {link("a/b/l", "../.."), link("t", "x/../a/b/l/.."), damaged(file("u", "data")),
        link("x", "a/b/c")},
       up_from("t", "x"),
       {"a/b/l"},
       {"t", "u", "x"}},
      {"a '..' after a missing name: a later run may make it a link",
       {link("a/b/l", "x/../../../outside")},
       up_from("a/b/l", "x"),
       {},
       {"a/b/l"}},
      {"a '..' after a missing name at the top",
       {link("l", "x/../outside")},
       up_from("l", "x"),
       {},
       {"l"}},
      {"a '..' after a file",
       {file("f", "f"), link("l", "f/../f")},
       up_from("l", "f"),
       {"f"},
       {"l"}},
      {"a '..' after a directory entry of the archive",
       {link("a/l", "x/../x"), dir("a/x")},
       "",
       {"a/l", "a/x"},
       {}},
      {"an entry below a later link's path makes a directory there first",
       {link("a/b/l", "../.."), link("p/x", "../a/b/l"), link("y", "p/x/../outside"),
        link("p", ".")},
       unsafe("y"),
       {"p/x"},
       {"y"}},
      {"a name that a case-folding file system takes for the link's",
       {link("a/b/l", "../.."), link("esc", "A/b/l/../outside")},
       unsafe("esc"),
       {"a/b/l"},
       {"esc"}},
      {"a loop", {link("a", "b"), link("b", "a")}, unsafe("a"), {}, {"a", "b"}},
      {"41 links to follow", chain(41), unsafe("c1"), {"f"}, {"c1"}},
      {"40 links to follow", chain(40), "", {"c1", "c40"}, {}},
      {"a chain of library names",
       {file("lib/libx.so.1.2", "x"), link("lib/libx.so", "libx.so.1"),
        link("lib/libx.so.1", "libx.so.1.2")},
       "",
       {"lib/libx.so"},
       {}},
      {"through a link to the current directory",
       {link("a", "b/c"), link("b", "."), file("c", "c")},
       "",
       {"a"},
       {}},
      {"a '..' inside a later link is taken from that link's place",
       {link("opt/current", "releases/v2"), link("opt/releases/v2", "../builds/7"),
        file("opt/builds/7/run", "r")},
       "",
       {"opt/current"},
       {}},
      {"through a link to the root, staying inside",
       {link("a/b/l", "../.."), link("up", "a/b/l/a/b")},
       "",
       {"up"},
       {}},
      {"a target that cannot be decoded is its own error, at its turn",
       {link("a", "z/q"), damaged(link("z", "x/../.."))},
       "corrupt archive: z content hash/size mismatch",
       {"a"},
       {"z"}},
  };
  return cases;
}

TEST_F(LinkResolving, TestAndExtractionRefuseWhatResolvesOutside) {
  for (const Case& c : archive_cases()) {
    SCOPED_TRACE(c.name);
    std::optional<Archive> archive;
    ASSERT_NO_FATAL_FAILURE(open(c.items, archive));
    const auto tested = archive->test();
    const fs::path out = destination();
    const auto extracted = archive->extract(out, {}, false);
    if (c.error.empty()) {
      EXPECT_TRUE(tested) << tested.error().display();
      EXPECT_TRUE(extracted) << extracted.error().display();
    } else {
      EXPECT_KOV_ERROR(tested, ErrorKind::Corrupt, c.error);
      EXPECT_KOV_ERROR(extracted, ErrorKind::Corrupt, c.error);
    }
    for (const std::string& path : c.made)
      EXPECT_TRUE(fs::exists(fs::symlink_status(out / path))) << path;
    for (const std::string& path : c.absent)
      EXPECT_FALSE(fs::exists(fs::symlink_status(out / path))) << path;
    EXPECT_EQ(escaping(out), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(out.parent_path() / "outside"));
  }
}

TEST_F(LinkResolving, TargetsBeyondTheMemoryBudgetAreDecodedAgain) {
  for (const Case& c : archive_cases()) {
    SCOPED_TRACE(c.name);
    std::optional<Archive> archive;
    ASSERT_NO_FATAL_FAILURE(open(c.items, archive));
    for (const std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{12}}) {
      archive::Decoder decoder;
      archive::LinkResolution links(*archive);
      links.decode(decoder, nullptr, budget);
      std::string first_error;
      for (std::size_t i = 0; i < archive->entries().size() && first_error.empty(); ++i) {
        if (archive->entries()[i].kind != archive::EntryKind::Symlink) continue;
        auto target = links.take(i);
        if (target)
          EXPECT_EQ(*target, std::string(c.items[i].content.begin(), c.items[i].content.end()));
        else
          first_error = target.error().display();
      }
      EXPECT_EQ(first_error, c.error) << budget;
    }
  }
}

// A link that follows a refused one is refused for the same reason, whether
// that one is walked for it or was refused at its own turn, and whether or
// not its target is kept.
TEST_F(LinkResolving, ALinkThroughARefusedOneTakesItsReason) {
  std::optional<Archive> opened;
  ASSERT_NO_FATAL_FAILURE(open({link("m", "l/y"), link("l", "x/../outside")}, opened));
  const Archive& archive = *opened;
  const std::vector<std::vector<std::size_t>> orders{{0, 1}, {1, 0}};
  for (const std::vector<std::size_t>& order : orders) {
    for (const std::uint64_t budget : {std::uint64_t{0}, UINT64_MAX}) {
      SCOPED_TRACE("first " + std::to_string(order.front()) + ", budget " + std::to_string(budget));
      archive::Decoder decoder;
      archive::LinkResolution links(archive);
      links.decode(decoder, nullptr, budget);
      for (const std::size_t i : order)
        EXPECT_KOV_ERROR(links.take(i), ErrorKind::Corrupt,
                         up_from(archive.entries()[i].path, "x"));
    }
  }
}

TEST_F(LinkResolving, FortyLinksAreFollowedAsTheKernelFollowsThem) {
  const fs::path out = destination();
  std::optional<Archive> archive;
  ASSERT_NO_FATAL_FAILURE(open(chain(40), archive));
  ASSERT_TRUE(archive->extract(out, {}, false));
  const int fd = ::open((out / "c1").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd >= 0) ::close(fd);
  // One more and the kernel gives up.
  const fs::path by_hand = destination();
  for (int i = 1; i <= 41; ++i)
    fs::create_symlink(i == 41 ? "f" : "c" + std::to_string(i + 1),
                       by_hand / ("c" + std::to_string(i)));
  kov_test::write_file(by_hand / "f", text_bytes("end"));
  EXPECT_EQ(::open((by_hand / "c1").c_str(), O_RDONLY | O_CLOEXEC), -1);
  EXPECT_EQ(errno, ELOOP);
}

TEST_F(LinkResolving, LinksAlreadyInTheDestinationAreFollowed) {
  struct DestinationCase {
    const char* name;
    std::function<void(const fs::path& out, const fs::path& outside)> before;
    std::vector<Item> items;
    std::string error;  // empty: accepted
    // What testing says: a ".." after a name that only the destination has
    // a directory for is refused there.
    std::string tested = "";
  };
  const std::vector<DestinationCase> cases{
      {"an absolute link out",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_directory_symlink(outside, out / "x");
       },
       {link("y", "x/canary")},
       unsafe("y")},
      {"a relative link out",
       [](const fs::path& out, const fs::path&) {
         fs::create_directory_symlink("../outside", out / "x");
       },
       {link("y", "x/canary")},
       unsafe("y")},
      {"a link to the root, then a '..' after it",
       [](const fs::path& out, const fs::path&) {
         fs::create_directories(out / "a" / "b");
         fs::create_directory_symlink("../..", out / "a" / "b" / "up");
       },
       {link("y", "a/b/up/../z")},
       unsafe("y"),
       up_from("y", "up")},
      {"the destination's link wins over the archive's at the same path",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_directory_symlink(outside, out / "p");
       },
       {link("y", "p/canary"), link("p", ".")},
       unsafe("y")},
      {"the destination's directory wins over the archive's link at the same path",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_directories(out / "d");
         fs::create_directory_symlink(outside, out / "d" / "x");
       },
       {link("y", "d/x/canary"), link("d", "sub")},
       unsafe("y")},
      {"a link out met after climbing back up 150 of 200 directories",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_directories(out / repeat("p/", 200));
         fs::create_directory_symlink(outside, out / repeat("p/", 50) / "e");
       },
       {link("y", repeat("p/", 200) + repeat("../", 150) + "e/canary")},
       unsafe("y"),
       up_from("y", "p")},
      {"a link inside, then a '..' after it",
       [](const fs::path& out, const fs::path&) {
         fs::create_directories(out / "a" / "b");
         fs::create_directory_symlink("a/b", out / "in");
       },
       {link("y", "in/../x")},
       "",
       up_from("y", "in")},
  };
  for (const DestinationCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = destination();
    const fs::path outside = out.parent_path() / "outside";
    c.before(out, outside);
    const std::set<fs::path> known = links_below(out);
    std::optional<Archive> archive;
    ASSERT_NO_FATAL_FAILURE(open(c.items, archive));
    const auto tested = archive->test();
    if (c.tested.empty())
      EXPECT_TRUE(tested) << tested.error().display();
    else
      EXPECT_KOV_ERROR(tested, ErrorKind::Corrupt, c.tested);
    const auto extracted = archive->extract(out, {}, false);
    if (c.error.empty()) {
      EXPECT_TRUE(extracted) << extracted.error().display();
      EXPECT_TRUE(fs::exists(fs::symlink_status(out / "y")));
    } else {
      EXPECT_KOV_ERROR(extracted, ErrorKind::Corrupt, c.error);
      EXPECT_FALSE(fs::exists(fs::symlink_status(out / "y")));
    }
    EXPECT_EQ(escaping(out, known), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(outside));
  }
}

// Runs into one destination, one after the other, each checked only against
// what exists when it runs: what they make together must not escape either.
TEST_F(LinkResolving, RunsIntoOneDestinationDoNotComposeAnEscape) {
  struct Run {
    std::vector<Item> items;
    std::vector<std::string> selected;
    std::string error;  // empty: accepted
  };
  struct TwoRuns {
    const char* name;
    Run first, second;
  };
  const std::vector<Item> both{link("a/b/l", "x/../../../outside"), link("a/b/x", "../..")};
  const std::vector<TwoRuns> cases{
      {"two archives",
       {{link("a/b/l", "x/../../../outside")}, {}, up_from("a/b/l", "x")},
       {{link("a/b/x", "../..")}, {}, ""}},
      {"two selections of one archive",
       {both, {"a/b/l"}, up_from("a/b/l", "x")},
       {both, {"a/b/x"}, ""}},
      {"at the top",
       {{link("l", "x/../outside")}, {}, up_from("l", "x")},
       {{link("x", ".")}, {}, ""}},
      {"an earlier link below a later one's directory",
       {{file("a/x/f", "f"), link("a/l", "x/../x")}, {}, ""},
       {{link("a/x/g", "../../..")}, {}, unsafe("a/x/g")}},
  };
  for (const TwoRuns& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = destination();
    for (const Run* run : {&c.first, &c.second}) {
      std::optional<Archive> archive;
      ASSERT_NO_FATAL_FAILURE(open(run->items, archive));
      const auto extracted = archive->extract(out, run->selected, false);
      if (run->error.empty())
        EXPECT_TRUE(extracted) << extracted.error().display();
      else
        EXPECT_KOV_ERROR(extracted, ErrorKind::Corrupt, run->error);
      EXPECT_EQ(escaping(out), std::vector<std::string>{});
    }
    EXPECT_TRUE(fs::is_empty(out.parent_path() / "outside"));
  }
}

// The directory a '..' stands on exists before the link does, even when the
// entry that makes it comes later and the run stops first.
TEST_F(LinkResolving, TheDirectoryOfAParentStepIsMadeBeforeTheLink) {
  std::optional<Archive> archive;
  ASSERT_NO_FATAL_FAILURE(
      open({link("a/l", "x/../x"), damaged(file("a/m", "m")), file("a/x/f", "f")}, archive));
  const fs::path out = destination();
  EXPECT_KOV_ERROR(archive->extract(out, {}, false), ErrorKind::Corrupt,
                   "corrupt archive: a/m content hash/size mismatch");
  EXPECT_TRUE(fs::is_symlink(out / "a" / "l"));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(out / "a" / "x")));
  EXPECT_FALSE(fs::exists(out / "a" / "x" / "f"));
}

TEST_F(LinkResolving, LinksWithoutAParentStepNeedNothingSelected) {
  std::optional<Archive> archive;
  ASSERT_NO_FATAL_FAILURE(open({link("a/b/l", "../.."), link("esc", "a/b/l/x")}, archive));
  const fs::path out = destination();
  const std::vector<std::string> only_esc{"esc"};
  ASSERT_TRUE(archive->extract(out, only_esc, false));
  EXPECT_TRUE(fs::is_symlink(out / "esc"));
  EXPECT_EQ(escaping(out), std::vector<std::string>{});
}

// What the checks before each link cannot see (a directory swapped while the
// run goes on, a file system that folds case) meets the kernel's own
// resolution at the end: a link made that leads outside is removed.
TEST_F(LinkResolving, TheKernelHasTheLastWordOnEveryLinkMade) {
  const fs::path out = destination();
  const fs::path outside = out.parent_path() / "outside";
  fs::create_directories(out / "d" / "x");
  fs::create_directories(outside / "p" / "x");
  std::optional<Archive> archive;
  ASSERT_NO_FATAL_FAILURE(open({link("l", "d/x/../.."), file("z", "z")}, archive));
  archive::ExtractionOptions options;
  options.before_link_check = [&] {
    fs::rename(out / "d", out / "d.old");
    fs::create_directory_symlink("../outside/p", out / "d");
  };
  const auto extracted = archive::extract_archive(*archive, out, {}, false, {}, options);
  EXPECT_KOV_ERROR(extracted, ErrorKind::Corrupt, unsafe("l"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "l")));
  EXPECT_TRUE(fs::exists(out / "z"));
  EXPECT_EQ(escaping(out, {out / "d"}), std::vector<std::string>{});
}

}  // namespace
