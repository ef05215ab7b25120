// Runs kov with the n-th allocation failing, for every n, and checks that each
// run ends like any other error: the ENOMEM line and status 5, never a crash.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "main/driver.hpp"
#include "support/archive_bytes.hpp"

namespace {

struct Counters {
  std::atomic<long> fail_at;  // allocation number that fails; -1 for none
  std::atomic<long> count;
};
Counters* counters = nullptr;  // shared with the forked child

void* allocate(std::size_t size) {
  if (counters != nullptr && counters->fail_at.load() >= 0 &&
      counters->count.fetch_add(1) == counters->fail_at.load())
    throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every form is replaced, so that no allocation mixes this allocator with the
// library's own (the address sanitizer reports such mismatches).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (counters != nullptr && counters->fail_at.load() >= 0 &&
      counters->count.fetch_add(1) == counters->fail_at.load())
    throw std::bad_alloc();
  const auto a = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

struct KovRun {
  int status = -1;
  bool signalled = false;
  std::string out;
  std::string err;
  long allocations = 0;
  std::vector<std::string> left;  // what the run left in its working directory
};

std::string slurp(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

// Each run works in a fresh directory holding a small input folder "in".
KovRun run_kov(std::vector<std::string> args, long fail_at) {
  const kov_test::TempDir scratch;
  const std::filesystem::path dir = scratch / "work";
  std::filesystem::create_directories(dir / "in" / "sub");
  std::ofstream(dir / "in" / "a.txt") << "some text to compress";
  std::ofstream(dir / "in" / "sub" / "b.txt") << "more";
  const int out = open((scratch / "stdout").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int err = open((scratch / "stderr").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  counters->count = 0;
  counters->fail_at = -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(99);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    counters->fail_at = fail_at;
    kov::main(static_cast<int>(args.size()), argv.data());
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  const long allocations = counters->count;
  counters->fail_at = -1;  // the child set it in the shared counters
  KovRun run;
  run.signalled = WIFSIGNALED(wstatus);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  run.out = slurp(out);
  run.err = slurp(err);
  run.allocations = allocations;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().filename() != "in")
      run.left.push_back(entry.path().filename().string() + " " +
                         std::to_string(entry.file_size()));
  return run;
}

TEST(AllocationFailure, EveryFailingAllocationEndsAsAnIoError) {
  void* shared =
      mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  counters = new (shared) Counters{{-1}, {0}};

  const std::vector<std::vector<std::string>> lines{{"kov", "--help"},
                                                    {"kov", "help", "create"},
                                                    {"kov", "create", "a", "-o", "x"},
                                                    {"kov", "create", "-o", "out.kov", "in"},
                                                    {"kov", "keygen", "k.kovkey"},
                                                    {"kov", "list", "a", "--json", "--json"},
                                                    {"kov", "--lang", "fr", "nope"}};
  for (const auto& line : lines) {
    SCOPED_TRACE(line[1]);
    const KovRun normal = run_kov(line, -1);
    ASSERT_FALSE(normal.signalled);
    long failures = 0;
    for (long n = 0;; ++n) {
      const KovRun run = run_kov(line, n);
      ASSERT_FALSE(run.signalled) << "allocation " << n;
      if (run.allocations <= n) {  // nothing failed: the run is the normal one
        EXPECT_EQ(run.status, normal.status);
        EXPECT_EQ(run.out, normal.out);
        break;
      }
      // Code that can do without the memory (the resources probe falls back
      // to what it knows) may absorb the failure; then the run is the normal one.
      if (run.status == normal.status && run.out == normal.out && run.err == normal.err) continue;
      ++failures;
      ASSERT_EQ(run.status, 5) << "allocation " << n << ": " << run.err;
      ASSERT_EQ(run.err, "kov: I/O error: Cannot allocate memory (os error 12)\n")
          << "allocation " << n;
      ASSERT_EQ(run.out, "") << "allocation " << n;
      // A failed creation leaves no temporary file, and an archive only when it
      // was complete (the failure came after the move into place).
      if (line[1] == "create" && !run.left.empty()) {
        EXPECT_EQ(run.left, normal.left) << "allocation " << n;
      }
    }
    EXPECT_GT(failures, 10);
  }
  counters = nullptr;
  munmap(shared, sizeof(Counters));
}

}  // namespace
