// The small files that must survive a power cut once their command reports
// them: key files, public key files and signatures.

#include "util/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kov_core/crypto.hpp"
#include "kov_core/signature.hpp"
#include "support/archive_bytes.hpp"
#include "support/flush_hook.hpp"

namespace {

namespace fs = std::filesystem;
using kov_core::util::test_hooks::FlushScope;

// At the new file's own flush, the directory that holds it is renamed and a
// new one made under its old name, as another user of the tree may do.
struct ParentSwap {
  fs::path named, moved;
  bool swapped = false;
  std::vector<std::pair<dev_t, ino_t>> flushed_directories;
};
ParentSwap* parent_swap = nullptr;

int swap_parent_at_file_flush(int fd, FlushScope scope) {
  ParentSwap& swap = *parent_swap;
  struct stat st{};
  if (scope != FlushScope::Descriptor || ::fstat(fd, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) swap.flushed_directories.emplace_back(st.st_dev, st.st_ino);
  if (S_ISREG(st.st_mode) && !swap.swapped)
    swap.swapped = ::rename(swap.named.c_str(), swap.moved.c_str()) == 0 &&
                   ::mkdir(swap.named.c_str(), 0755) == 0;
  return 0;
}

TEST(NewSmallFiles, AreDurableUnderEveryNameThatLeadsToThemEvenWhenTheirDirectoryMoves) {
  const kov_test::TempDir dir;
  const fs::path key = dir / "k.kovkey";
  ASSERT_TRUE(kov_core::crypto::generate_key_file(key));
  kov_test::write_file(dir / "a.kov", kov_test::text_bytes("data"));
  struct Case {
    const char* name;
    std::function<kov_core::Result<void>(const fs::path&)> write;
  };
  const Case cases[] = {
      {"keygen", [](const fs::path& out) { return kov_core::crypto::generate_key_file(out); }},
      {"public-key",
       [&](const fs::path& out) {
         return kov_core::signature::export_signing_public_key(key, out);
       }},
      {"sign",
       [&](const fs::path& out) {
         return kov_core::signature::sign_archive(dir / "a.kov", key, out);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Made by the user and never flushed: the command must flush them too.
    const fs::path named = dir / c.name / "n1" / "kd";
    fs::create_directories(named);
    struct stat original{};
    ASSERT_EQ(::stat(named.c_str(), &original), 0);
    ParentSwap swap{named, dir / c.name / "n1" / "kd2", false, {}};
    parent_swap = &swap;
    kov_core::Result<void> written;
    {
      const kov_test::FlushHook hook(swap_parent_at_file_flush);
      written = c.write(named / "new");
    }
    parent_swap = nullptr;
    ASSERT_TRUE(written) << written.error().display();
    ASSERT_TRUE(swap.swapped);
    // Created where the directory was first opened, never in its stand-in.
    EXPECT_TRUE(fs::is_regular_file(swap.moved / "new"));
    EXPECT_TRUE(fs::is_empty(named));
    // That directory, then each above it up to the root of its file system.
    const auto expected = kov_test::up_to_file_system_root(swap.moved);
    ASSERT_GE(expected.size(), 4u);  // kd2, n1, the case's, the test's and above
    EXPECT_EQ(expected.front(), std::make_pair(original.st_dev, original.st_ino));
    EXPECT_EQ(swap.flushed_directories, expected);
  }
}

}  // namespace
