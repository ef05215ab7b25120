// Archives made by creation, read back with the format core's own decoders:
// header, footer, index (clear, tagged or sealed) and every entry's data.

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string_view>

#include "archive/archive_internal.hpp"
#include "archive/progress.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/progress.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/flush_hook.hpp"
#include "support/memory_stream.hpp"

namespace {

using namespace kov_core;
using archive::Entry;
using archive::EntryKind;
using crypto::EncryptionCredential;
using crypto::EncryptionMode;
using kov_test::Bytes;
namespace fs = std::filesystem;

void write_text(const fs::path& path, const std::string& text) {
  kov_test::write_file(path, Bytes(text.begin(), text.end()));
}

EncryptionCredential credential_for(EncryptionMode mode) {
  if (mode == EncryptionMode::Password) {
    const std::string pw = "correct horse battery";
    return EncryptionCredential::password(
               util::SecretBytes({reinterpret_cast<const std::uint8_t*>(pw.data()), pw.size()}))
        .value();
  }
  if (mode == EncryptionMode::KeyFile)
    return EncryptionCredential::key_file_secret(util::SecretBytes(Bytes(32, 7))).value();
  return EncryptionCredential();
}

class Creation : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path photos = dir_ / "Photos";
    fs::create_directories(photos / "b");
    write_text(photos / "a-b", std::string(5000, 'x') + "tail");
    write_text(photos / "b" / "c.bin", "second file");
    write_text(photos / "empty", "");
    fs::create_symlink("a-b", photos / "link");
    ::chmod((photos / "a-b").c_str(), 04755);
  }

  kov_test::TempDir dir_;
};

// An entry's content, decoded and checked by the reader.
Bytes content_of(const archive::Archive& archive, std::size_t index) {
  auto key = archive.authenticate_index({});
  EXPECT_TRUE(key) << key.error().display();
  kov_test::VectorSink sink;
  auto copied =
      archive.copy_entry(index, archive.entries()[index], key && *key ? &**key : nullptr, sink);
  EXPECT_TRUE(copied) << copied.error().display();
  return sink.bytes;
}

TEST_F(Creation, EveryModeReadsBackExactly) {
  const std::vector<std::string> order{"Photos",         "Photos/a-b",   "Photos/b",
                                       "Photos/b/c.bin", "Photos/empty", "Photos/link"};
  for (const auto version : {format::VERSION_0_4_0, format::VERSION_0_5_0}) {
    for (const auto mode :
         {EncryptionMode::None, EncryptionMode::Password, EncryptionMode::KeyFile}) {
      const std::string name =
          version.text() + "-" + std::string(crypto::encryption_mode_name(mode)) + ".kov";
      SCOPED_TRACE(name);
      const std::vector<fs::path> inputs{dir_ / "Photos"};
      ASSERT_TRUE(
          archive::create_archive_version(dir_ / name, inputs, {credential_for(mode)}, version));
      EXPECT_FALSE(fs::exists(dir_ / (name + ".partial")));
      auto opened = archive::Archive::open_with_credential(dir_ / name, credential_for(mode));
      ASSERT_TRUE(opened) << opened.error().display();
      const archive::Archive& o = *opened;
      EXPECT_EQ(o.header().version(), version);
      EXPECT_TRUE(o.test());

      // Settings follow the table for the memory recorded at creation.
      archive::ArchiveSettings expected =
          archive::new_archive_settings(o.settings().available_memory_mib, mode);
      expected.salt = o.settings().salt;
      expected.nonce_prefix = o.settings().nonce_prefix;
      expected.index_tag = o.settings().index_tag;
      EXPECT_EQ(o.settings(), expected);
      const bool encrypted = mode != EncryptionMode::None;
      const bool sealed = encrypted && version == format::VERSION_0_5_0;
      EXPECT_EQ(o.header().flags, sealed ? 1u : 0u);
      EXPECT_EQ(o.header().profile, 0);
      EXPECT_EQ(o.header().io_buffer_size, o.settings().io_buffer_size);
      EXPECT_EQ(o.header().created_unix == 0, sealed);
      if (!sealed) {
        EXPECT_EQ(o.header().id, archive::archive_id(o.header().created_unix, o.entries()));
      }

      ASSERT_EQ(o.entries().size(), order.size());
      std::uint64_t next = format::HEADER_SIZE;
      for (std::uint32_t i = 0; i < order.size(); ++i) {
        const Entry& e = o.entries()[i];
        SCOPED_TRACE(e.path);
        EXPECT_EQ(e.path, order[i]);
        if (e.kind == EntryKind::Directory) {
          EXPECT_EQ(e.sha256(), archive::hex(format::digest({})));
          EXPECT_FALSE(e.encrypted);
          continue;
        }
        EXPECT_EQ(e.encrypted, encrypted);
        EXPECT_EQ(e.data_offset, next);  // regions are contiguous from 64
        next = e.data_offset + e.stored_size;
        const Bytes content = content_of(o, i);
        EXPECT_EQ(content.size(), e.original_size);
        EXPECT_EQ(format::digest(content), e.sha256_bytes);
        const Bytes expected_content = e.kind == EntryKind::Symlink
                                           ? Bytes{'a', '-', 'b'}
                                           : kov_test::read_file(dir_ / e.path);
        EXPECT_EQ(content, expected_content);
      }
      EXPECT_EQ(o.header().index_offset, next);
      const Entry& setuid = o.entries()[1];
      EXPECT_EQ(setuid.mode, 0755u);
      EXPECT_EQ(setuid.codec, "zstd");
      EXPECT_EQ(setuid.compression_level, 3);
      EXPECT_EQ(o.entries()[5].kind, EntryKind::Symlink);
      EXPECT_EQ(o.entries()[5].codec, "store");
      EXPECT_GT(o.entries()[4].stored_size, 0u);  // the frame of empty content
    }
  }
}

TEST_F(Creation, SealedArchivesGetRandomIds) {
  const std::vector<fs::path> inputs{dir_ / "Photos"};
  ASSERT_TRUE(
      archive::create_archive(dir_ / "one.kov", inputs, {credential_for(EncryptionMode::KeyFile)}));
  ASSERT_TRUE(
      archive::create_archive(dir_ / "two.kov", inputs, {credential_for(EncryptionMode::KeyFile)}));
  const Bytes one = kov_test::read_file(dir_ / "one.kov");
  const Bytes two = kov_test::read_file(dir_ / "two.kov");
  EXPECT_FALSE(std::equal(one.begin() + 16, one.begin() + 32, two.begin() + 16));
}

TEST_F(Creation, Errors) {
  fs::create_directories(dir_ / "x1");
  fs::create_directories(dir_ / "x2");
  write_text(dir_ / "x1" / "x", "1");
  write_text(dir_ / "x2" / "x", "2");
  write_text(dir_ / "Notes", "n");
  fs::create_directories(dir_ / "pipes");
  ASSERT_EQ(::mkfifo((dir_ / "pipes" / "fifo").c_str(), 0600), 0);
  fs::create_symlink("missing", dir_ / "dangling.kov");
  const std::string ii = "invalid input: ";
  struct Case {
    const char* name;
    std::vector<fs::path> inputs;
    fs::path output;
    std::string text;
  };
  const std::vector<Case> cases{
      {"no inputs", {}, dir_ / "o.kov", ii + "at least one input is required"},
      {"existing directory output",
       {dir_ / "Notes"},
       dir_ / "Photos",
       ii + "output already exists: " + (dir_ / "Photos").string()},
      {"same name twice",
       {dir_ / "x1" / "x", dir_ / "x2" / "x"},
       dir_ / "o.kov",
       ii + "duplicate archive path: x"},
      {"same directory twice",
       {dir_ / "Photos", dir_ / "Photos/"},
       dir_ / "o.kov",
       ii + "duplicate archive path: Photos"},
      {"case collision before the second is looked at",
       {dir_ / "Notes", dir_ / "missing" / "NOTES"},
       dir_ / "o.kov",
       ii + "portable path collision: Notes and NOTES"},
      {"named pipe inside a directory",
       {dir_ / "pipes"},
       dir_ / "o.kov",
       ii + "unsupported file type: " + (dir_ / "pipes" / "fifo").string()},
      {"input without a name",
       {dir_ / "Photos" / ".."},
       dir_ / "o.kov",
       ii + "input has no name: " + (dir_ / "Photos" / "..").string()},
      {"missing input",
       {dir_ / "nothing"},
       dir_ / "o.kov",
       "I/O error: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = archive::create_archive(c.output, c.inputs, {});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), c.text);
    EXPECT_FALSE(fs::exists(dir_ / "o.kov"));
    EXPECT_FALSE(fs::exists(dir_ / "o.kov.partial"));
  }
  // A dangling link at the output passes the check and is replaced by the archive.
  ASSERT_TRUE(
      archive::create_archive(dir_ / "dangling.kov", std::vector<fs::path>{dir_ / "Notes"}, {}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "dangling.kov")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "dangling.kov.partial")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "missing")));
  auto short_password = EncryptionCredential::password(util::SecretBytes(Bytes(13, 'p'))).value();
  EXPECT_KOV_ERROR(
      archive::create_archive(dir_ / "p.kov", std::vector<fs::path>{dir_ / "Notes"},
                              {std::move(short_password)}),
      ErrorKind::InvalidInput,
      "invalid input: new encrypted archives require a password containing at least 14 bytes");
}

TEST_F(Creation, ExistingTemporaryFileIsLeftAlone) {
  write_text(dir_ / "out.kov.partial", "not ours");
  EXPECT_KOV_ERROR(
      archive::create_archive(dir_ / "out.kov", std::vector<fs::path>{dir_ / "Photos"}, {}),
      ErrorKind::Io, "I/O error: File exists (os error 17)");
  EXPECT_EQ(kov_test::read_file(dir_ / "out.kov.partial"),
            (Bytes{'n', 'o', 't', ' ', 'o', 'u', 'r', 's'}));
  EXPECT_FALSE(fs::exists(dir_ / "out.kov"));
}

// The directory the final move acts in.
util::Fd open_directory(const fs::path& path) {
  return util::Fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

TEST_F(Creation, FinalMoveNeverReplacesAnOutput) {
  write_text(dir_ / "done.partial", "archive");
  write_text(dir_ / "appeared.kov", "someone else's");
  const util::Fd dir = open_directory(dir_.path());
  EXPECT_KOV_ERROR(archive::move_into_place(dir.get(), "done.partial", "appeared.kov"),
                   ErrorKind::Io, "I/O error: File exists (os error 17)");
  EXPECT_TRUE(fs::exists(dir_ / "done.partial"));
  EXPECT_EQ(kov_test::read_file(dir_ / "appeared.kov").size(), 14u);
}

TEST_F(Creation, FinalMoveReplacesOnlyTheLinkFoundByTheCheck) {
  write_text(dir_ / "done.partial", "archive");
  fs::create_symlink("nowhere", dir_ / "out.kov");
  struct stat st{};
  ASSERT_EQ(::lstat((dir_ / "out.kov").c_str(), &st), 0);
  const archive::OutputNode seen{st.st_dev, st.st_ino};
  // Another link put in its place meanwhile is not the node the check saw.
  // The first link is kept under another name, so the new one cannot reuse
  // its inode and pass for it.
  fs::rename(dir_ / "out.kov", dir_ / "out.kov.seen");
  fs::create_symlink("nowhere-else", dir_ / "out.kov");
  struct stat now{};
  ASSERT_EQ(::lstat((dir_ / "out.kov").c_str(), &now), 0);
  ASSERT_NE(now.st_ino, seen.inode);
  const util::Fd dir = open_directory(dir_.path());
  EXPECT_KOV_ERROR(archive::move_into_place(dir.get(), "done.partial", "out.kov", seen),
                   ErrorKind::Io, "I/O error: File exists (os error 17)");
  EXPECT_EQ(fs::read_symlink(dir_ / "out.kov"), "nowhere-else");
  ASSERT_TRUE(archive::move_into_place(dir.get(), "done.partial", "out.kov",
                                       archive::OutputNode{now.st_dev, now.st_ino}));
  EXPECT_EQ(kov_test::read_file(dir_ / "out.kov").size(), 7u);
  EXPECT_FALSE(fs::exists(dir_ / "done.partial"));
}

TEST_F(Creation, ADirectoryFlushRefusedWithEinvalFlushesTheFileSystemInstead) {
  const std::vector<fs::path> inputs{dir_ / "Photos"};
  {
    kov_test::whole_flushes = 0;
    const kov_test::FlushHook refusing(kov_test::refuse_flushes_of<S_IFDIR>);
    const auto created = archive::create_archive(dir_ / "a.kov", inputs, {});
    ASSERT_TRUE(created) << created.error().display();
    EXPECT_EQ(kov_test::whole_flushes, 1);
  }
  EXPECT_TRUE(archive::Archive::open(dir_ / "a.kov"));
  const kov_test::FlushHook refusing(kov_test::refuse_flushes_of<S_IFREG>);
  EXPECT_KOV_ERROR(archive::create_archive(dir_ / "b.kov", inputs, {}), ErrorKind::Io,
                   "I/O error: Invalid argument (os error 22)");
  EXPECT_FALSE(fs::exists(dir_ / "b.kov"));
  EXPECT_FALSE(fs::exists(dir_ / "b.kov.partial"));
}

// What a tree that others may write turns into between the walk and the
// reading of its files: never a file the walk did not see.
TEST_F(Creation, SourcesAreReachedWithoutFollowingALinkAndMustBeTheFilesTheWalkSaw) {
  struct Case {
    const char* name;
    void (*change)();
    ErrorKind kind;
    std::string error;
  };
  static fs::path tree, secret;
  tree = dir_ / "tree";
  secret = dir_ / "secret";
  // A link where the walk met a directory is opened with O_NOFOLLOW: ELOOP.
  const std::string link_refused = "I/O error: Too many levels of symbolic links (os error 40)";
  const std::string changed = "invalid input: source changed or is not a regular file: ";
  const std::vector<Case> cases{
      {"a directory swapped for a link",
       [] {
         fs::rename(tree / "sub", tree / "sub.old");
         fs::create_directory_symlink(secret, tree / "sub");
       },
       ErrorKind::Io, link_refused},
      {"a directory deep below swapped for a link",
       [] {
         fs::rename(tree / "sub" / "inner", tree / "sub" / "inner.old");
         fs::create_directory_symlink(secret, tree / "sub" / "inner");
       },
       ErrorKind::Io, link_refused},
      {"a directory swapped for another with the same names",
       [] {
         fs::rename(tree / "sub", tree / "sub.old");
         fs::create_directories(tree / "sub" / "inner");
         fs::copy_file(secret / "f", tree / "sub" / "f");
         fs::copy_file(secret / "f", tree / "sub" / "inner" / "f");
       },
       ErrorKind::InvalidInput, changed + (tree / "sub").string()},
      {"a file swapped for another",
       [] {
         fs::rename(tree / "sub" / "f", tree / "sub" / "f.old");
         fs::copy_file(secret / "f", tree / "sub" / "f");
       },
       ErrorKind::InvalidInput, changed + (tree / "sub" / "f").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tree);
    fs::remove_all(secret);
    fs::create_directories(tree / "sub" / "inner");
    write_text(tree / "sub" / "f", "mine");
    write_text(tree / "sub" / "inner" / "f", "mine too");
    fs::create_directories(secret / "inner");
    write_text(secret / "f", "secret");
    write_text(secret / "inner" / "f", "secret");
    util::test_hooks::after_walk = c.change;
    const fs::path out = dir_ / "tree.kov";
    const auto created = archive::create_archive(out, std::vector<fs::path>{tree}, {});
    util::test_hooks::after_walk = nullptr;
    EXPECT_KOV_ERROR(created, c.kind, c.error);
    EXPECT_FALSE(fs::exists(out));
  }
}

// At the flush of the finished temporary file, the last step before the move,
// the output's directory is renamed away and a link to another directory takes
// its name.
struct DirectorySwap {
  fs::path named, moved, elsewhere;
  int file_flush_result = 0;
  bool swapped = false;
  std::vector<std::pair<dev_t, ino_t>> flushed_directories;
};
DirectorySwap* directory_swap = nullptr;

int swap_directory_at_file_flush(int fd, util::test_hooks::FlushScope scope) {
  DirectorySwap& swap = *directory_swap;
  struct stat st{};
  if (scope != util::test_hooks::FlushScope::Descriptor || ::fstat(fd, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) swap.flushed_directories.emplace_back(st.st_dev, st.st_ino);
  if (!S_ISREG(st.st_mode) || swap.swapped) return 0;
  swap.swapped = ::rename(swap.named.c_str(), swap.moved.c_str()) == 0 &&
                 ::symlink(swap.elsewhere.c_str(), swap.named.c_str()) == 0;
  return swap.file_flush_result;
}

TEST_F(Creation, EveryStepActsInTheOutputDirectoryAsFirstOpened) {
  struct Case {
    const char* name;
    int file_flush_result;
    const char* error;
  };
  const Case cases[] = {{"finished", 0, nullptr},
                        {"failed", EIO, "I/O error: Input/output error (os error 5)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path root = dir_ / c.name;
    DirectorySwap swap{root / "o",          root / "o.old", root / "elsewhere",
                       c.file_flush_result, false,          {}};
    fs::create_directories(swap.named);
    fs::create_directories(swap.elsewhere);
    write_text(swap.elsewhere / "d.kov.partial", "not ours");
    struct stat named{};
    ASSERT_EQ(::stat(swap.named.c_str(), &named), 0);
    directory_swap = &swap;
    Result<void> created;
    {
      const kov_test::FlushHook hook(swap_directory_at_file_flush);
      created =
          archive::create_archive(swap.named / "d.kov", std::vector<fs::path>{dir_ / "Photos"}, {});
    }
    directory_swap = nullptr;
    ASSERT_TRUE(swap.swapped);
    // Nothing was made, moved or removed where the link leads.
    EXPECT_EQ(kov_test::read_file(swap.elsewhere / "d.kov.partial"),
              kov_test::text_bytes("not ours"));
    EXPECT_EQ(std::distance(fs::directory_iterator(swap.elsewhere), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(swap.moved / "d.kov.partial")));
    if (c.error != nullptr) {
      EXPECT_KOV_ERROR(created, ErrorKind::Io, c.error);
      EXPECT_TRUE(fs::is_empty(swap.moved));
      continue;
    }
    ASSERT_TRUE(created) << created.error().display();
    EXPECT_TRUE(archive::Archive::open(swap.moved / "d.kov"));
    // The new name is made durable in the directory that holds it, then in
    // each above that one as it stands now.
    const auto expected = kov_test::up_to_file_system_root(swap.moved);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected.front(), std::make_pair(named.st_dev, named.st_ino));
    EXPECT_EQ(swap.flushed_directories, expected);
  }
}

// `levels` nested directories "d" below `top`, and the file "f" holding "x"
// at the bottom; returns the archive path of that file.
std::string make_deep_tree(const fs::path& top, int levels) {
  std::string relative = top.filename().native();
  fs::create_directory(top);
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(fd, 0);
  for (int i = 0; i < levels; ++i) {
    EXPECT_EQ(::mkdirat(fd, "d", 0755), 0);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    EXPECT_GE(next, 0);
    fd = next;
    relative += "/d";
  }
  const int file = ::openat(fd, "f", O_WRONLY | O_CREAT, 0644);
  EXPECT_GE(file, 0);
  EXPECT_EQ(::write(file, "x", 1), 1);
  ::close(file);
  ::close(fd);
  return relative + "/f";
}

TEST_F(Creation, DeepTreeIsWalkedWithoutRecursion) {
  // Deeper than a recursive walk survives with a small stack, and deeper
  // than PATH_MAX: no system call sees more than one name of it.
  const fs::path deep = dir_ / "deep";
  constexpr int LEVELS = 5000;
  const std::string relative = make_deep_tree(deep, LEVELS);
  // 512 KiB of stack is far too little for a frame or two per level.
  struct Run {
    fs::path input, output;
    Result<void> result;
  } run{deep, dir_ / "deep.kov", {}};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 512 * 1024), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* r = static_cast<Run*>(arg);
    r->result = archive::create_archive(r->output, std::vector<fs::path>{r->input}, {});
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &run), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  ASSERT_TRUE(run.result) << run.result.error().display();
  EXPECT_EQ(kov_progress_total(), static_cast<std::uint64_t>(LEVELS + 1 + 2));
  auto opened = archive::Archive::open(run.output);
  ASSERT_TRUE(opened) << opened.error().display();
  ASSERT_EQ(opened->entries().size(), static_cast<std::size_t>(LEVELS + 2));
  EXPECT_EQ(opened->entries().back().path, relative);
  EXPECT_TRUE(opened->test());
  ASSERT_TRUE(opened->extract(dir_ / "back", {}, false));
  std::string found;
  int at = ::open((dir_ / "back" / "deep").c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < LEVELS && at >= 0; ++i) {
    const int next = ::openat(at, "d", O_RDONLY | O_DIRECTORY);
    ::close(at);
    at = next;
  }
  ASSERT_GE(at, 0);
  const int back = ::openat(at, "f", O_RDONLY);
  ::close(at);
  ASSERT_GE(back, 0);
  char byte = 0;
  EXPECT_EQ(::read(back, &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  ::close(back);
}

TEST_F(Creation, ADeepTreePacksWithFewDescriptors) {
  // The walk and the writer each keep a window of open levels; when the
  // descriptors run out, the window shrinks instead of failing.
  const fs::path deep = dir_ / "deep";
  constexpr int LEVELS = 5000;
  const std::string bottom = make_deep_tree(deep, LEVELS);
  std::vector<std::pair<pid_t, fs::path>> children;
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' own checks open pipes: they need room to spare.
  constexpr rlim_t LOWEST = 16;
#else
  constexpr rlim_t LOWEST = 8;
#endif
  for (const rlim_t limit : {LOWEST, rlim_t{24}, rlim_t{40}}) {
    const fs::path out = dir_ / ("deep-" + std::to_string(limit) + ".kov");
    const pid_t child = ::fork();
    if (child == 0) {
      // As a fresh process: standard input, output and error alone.
      ::close_range(3, ~0U, 0);
      const struct rlimit low{limit, limit};
      if (::setrlimit(RLIMIT_NOFILE, &low) != 0) ::_exit(2);
      const auto created = archive::create_archive(out, std::vector<fs::path>{deep}, {});
      if (!created) std::fprintf(stderr, "%s\n", created.error().display().c_str());
      ::_exit(created ? 0 : 1);
    }
    children.emplace_back(child, out);
  }
  for (const auto& [child, out] : children) {
    SCOPED_TRACE(out);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto opened = archive::Archive::open(out);
    ASSERT_TRUE(opened) << opened.error().display();
    ASSERT_EQ(opened->entries().size(), static_cast<std::size_t>(LEVELS + 2));
    EXPECT_EQ(opened->entries().back().path, bottom);
  }
}

// The lines of a kallsyms text that name no owner ("\t[module]", "\t[bpf]",
// ftrace's trampolines): the kernel's own symbols, which stay the same while
// modules and programs come and go between two reads of the file.
std::string kernel_symbols(std::string_view text) {
  std::string kept;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end == std::string_view::npos ? end : end + 1);
    if (line.find("\t[") == std::string_view::npos) kept += line;
    text.remove_prefix(line.size());
  }
  return kept;
}

// /proc answers a page or so a read, as FUSE and network file systems may
// in the middle of a file: only a read of 0 bytes ends it.
TEST_F(Creation, AFileThatReadsShortIsStoredWhole) {
  const fs::path source = "/proc/kallsyms";
  std::ifstream in(source, std::ios::binary);
  if (!in) GTEST_SKIP() << "no " << source;
  const std::string whole{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Compared by what cannot change between this read and creation's; the
  // kernel's own symbols come first and span many reads.
  const std::string expected = kernel_symbols(whole);
  ASSERT_GT(expected.size(), 65536u);
  const fs::path out = dir_ / "proc.kov";
  ASSERT_TRUE(archive::create_archive(out, std::vector<fs::path>{source}, {}));
  auto opened = archive::Archive::open(out);
  ASSERT_TRUE(opened) << opened.error().display();
  const Bytes stored = content_of(*opened, 0);
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored.back(), '\n');  // no line cut off
  const std::string got = kernel_symbols(std::string(stored.begin(), stored.end()));
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST_F(Creation, SourceSwappedForAPipeDoesNotHang) {
  ASSERT_EQ(::mkfifo((dir_ / "swapped").c_str(), 0600), 0);
  const std::vector<archive::SourceEntry> sources{
      {dir_ / "swapped", "swapped", std::nullopt, 3, EntryKind::File}};
  archive::ArchiveSettings settings = archive::new_archive_settings(0, EncryptionMode::None);
  EXPECT_KOV_ERROR(
      archive::create_into(dir_ / "s.kov", sources, EncryptionCredential(), settings,
                           format::VERSION_0_5_0),
      ErrorKind::InvalidInput,
      "invalid input: source changed or is not a regular file: " + (dir_ / "swapped").string());
  EXPECT_FALSE(fs::exists(dir_ / "s.kov"));
}

TEST_F(Creation, ProgressCountsBytesAndItems) {
  fs::create_directories(dir_ / "one");
  write_text(dir_ / "one" / "ten", "0123456789");
  ASSERT_TRUE(archive::create_archive(dir_ / "one.kov", std::vector<fs::path>{dir_ / "one"}, {}));
  EXPECT_EQ(kov_progress_total(), 12u);
  EXPECT_EQ(kov_progress_completed(), 12u);
  fs::create_directories(dir_ / "void");
  ASSERT_TRUE(archive::create_archive(dir_ / "void.kov", std::vector<fs::path>{dir_ / "void"}, {}));
  EXPECT_EQ(kov_progress_total(), 1u);
}

TEST_F(Creation, CancelledBeforeAnEntry) {
  const std::vector<archive::SourceEntry> sources{
      {dir_ / "Photos", "Photos", std::nullopt, 0, EntryKind::Directory}};
  archive::ArchiveSettings settings = archive::new_archive_settings(0, EncryptionMode::None);
  archive::CANCELLED.store(true);
  EXPECT_KOV_ERROR(archive::create_into(dir_ / "c.kov", sources, EncryptionCredential(), settings,
                                        format::VERSION_0_5_0),
                   ErrorKind::Cancelled, "operation cancelled");
  archive::CANCELLED.store(false);
  EXPECT_FALSE(fs::exists(dir_ / "c.kov"));
}

TEST(TemporaryArchive, ItsNameGoesWithItsOwnerUnlessCommitted) {
  const kov_test::TempDir dir;
  const util::Fd held = open_directory(dir.path());
  {
    auto made = archive::TemporaryArchive::create(held.get(), "dropped.partial");
    ASSERT_TRUE(made) << made.error().display();
    ASSERT_EQ(::write(made->get(), "x", 1), 1);
    const archive::TemporaryArchive moved(std::move(*made));
    EXPECT_TRUE(fs::exists(dir / "dropped.partial"));
  }
  EXPECT_FALSE(fs::exists(dir / "dropped.partial"));

  util::Fd file;
  {
    auto kept = archive::TemporaryArchive::create(held.get(), "kept.partial");
    ASSERT_TRUE(kept) << kept.error().display();
    ASSERT_EQ(::write(kept->get(), "y", 1), 1);
    file = std::move(*kept).commit();
  }
  EXPECT_TRUE(file.valid());
  EXPECT_EQ(kov_test::read_file(dir / "kept.partial"), (Bytes{'y'}));
}

TEST(CreationSettings, FollowTheAvailableMemory) {
  struct Case {
    std::uint32_t available, limit, buffer;
    bool constrained;
  };
  const Case cases[] = {{0, 64, 1'048'576, false},   {40, 16, 262'144, true},
                        {100, 25, 262'144, true},    {128, 32, 524'288, true},
                        {200, 50, 524'288, true},    {255, 63, 524'288, true},
                        {256, 64, 1'048'576, false}, {300, 64, 1'048'576, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.available);
    const auto s = archive::new_archive_settings(c.available, EncryptionMode::Password);
    EXPECT_EQ(s.memory_limit_mib, c.limit);
    EXPECT_EQ(s.io_buffer_size, c.buffer);
    EXPECT_EQ(s.constrained_at_creation, c.constrained);
    EXPECT_EQ(s.kdf_memory_kib, c.limit * 1024);
  }
}

TEST(CreationSettings, PasswordNeedsThirtyTwoMebibytes) {
  const std::string refused =
      "invalid input: not enough available memory for password encryption (32 MiB required)";
  EXPECT_KOV_ERROR(archive::check_password_memory(EncryptionMode::Password, 20),
                   ErrorKind::InvalidInput, refused);
  EXPECT_KOV_ERROR(archive::check_password_memory(EncryptionMode::Password, 31),
                   ErrorKind::InvalidInput, refused);
  EXPECT_TRUE(archive::check_password_memory(EncryptionMode::Password, 32));
  EXPECT_TRUE(archive::check_password_memory(EncryptionMode::Password, 0));  // unknown
  EXPECT_TRUE(archive::check_password_memory(EncryptionMode::KeyFile, 20));
}

TEST(CreationNames, PartialNames) {
  EXPECT_EQ(archive::partial_name("photos.kov"), "photos.kov.partial");
  EXPECT_EQ(archive::partial_name("dir/backup"), "dir/backup.kov.partial");
  EXPECT_EQ(archive::partial_name("x.tar.gz"), "x.tar.gz.partial");
  EXPECT_EQ(archive::partial_name(".hidden"), ".hidden.kov.partial");
  EXPECT_EQ(archive::partial_name("a.d/file"), "a.d/file.kov.partial");
  EXPECT_EQ(archive::partial_name("x.\xff"), "x.kov.partial");
}

TEST(CreationLimits, RefusesWhatTheReaderWouldRefuse) {
  EXPECT_TRUE(archive::check_reader_limits(10'000'000, 1'048'576, 1ull << 30));
  EXPECT_KOV_ERROR(archive::check_reader_limits(10'000'001, 1, 1), ErrorKind::InvalidInput,
                   "invalid input: too many entries");
  EXPECT_KOV_ERROR(archive::check_reader_limits(1, 1'048'577, 1), ErrorKind::InvalidInput,
                   "invalid input: path too long");
  EXPECT_KOV_ERROR(archive::check_reader_limits(1, 1, (1ull << 30) + 1), ErrorKind::InvalidInput,
                   "invalid input: archive index would exceed 1 GiB");
}

TEST(ArchiveId, DependsOnTimePathsContentsAndSizesOnly) {
  Entry a;
  a.path = "a";
  a.original_size = 3;
  a.sha256_bytes.fill(1);
  const auto base = archive::archive_id(100, std::vector<Entry>{a});
  Entry moved = a;
  moved.mode = 0700;
  moved.modified_unix = 5;
  moved.data_offset = 999;
  EXPECT_EQ(archive::archive_id(100, std::vector<Entry>{moved}), base);
  EXPECT_NE(archive::archive_id(101, std::vector<Entry>{a}), base);
  Entry renamed = a;
  renamed.path = "b";
  EXPECT_NE(archive::archive_id(100, std::vector<Entry>{renamed}), base);
  Entry bigger = a;
  bigger.original_size = 4;
  EXPECT_NE(archive::archive_id(100, std::vector<Entry>{bigger}), base);
}

}  // namespace
