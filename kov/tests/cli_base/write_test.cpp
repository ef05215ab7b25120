// The front end's loops on the standard streams go on through interrupted
// calls and short counts.

#include "cli_base/write.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

#include "support/interrupt.hpp"

namespace {

using kov_test::signals_seen;
using kov_test::wait_blocked;

TEST(FrontEndWriteAll, ContinuesAfterShortAndInterruptedWrites) {
  const kov_test::InterruptingSignal signal;
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ASSERT_GE(::fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  std::string text(40 * 1024, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);

  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  int status = -1;
  std::thread writer([&] {
    tid = kov_test::current_tid();
    status = kov::write_all(ends[1], text);
    ::close(ends[1]);
    done = true;
  });
  while (tid.load() == 0) std::this_thread::yield();
  const int before = signals_seen.load();
  std::string received;
  char chunk[1000];
  for (;;) {
    wait_blocked(tid, SYS_write, done);
    if (!done) ::pthread_kill(writer.native_handle(), SIGUSR1);
    const auto n = kov::read_some(ends[0], std::as_writable_bytes(std::span(chunk)));
    ASSERT_TRUE(n) << n.error();
    if (*n == 0) break;
    received.append(chunk, *n);
  }
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(received, text);
  EXPECT_GT(signals_seen.load() - before, 4);
}

// Every write to `fd` from now on returns 0, as some devices do: seccomp
// answers it with error number 0. False where seccomp is not allowed.
bool writes_return_zero(int fd) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(FrontEndWriteAll, FailsOnAWriteThatWritesNothing) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  // In a child, which the filter cannot outlive; the alarm ends one that loops.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!writes_return_zero(ends[1])) ::_exit(100);
    ::alarm(10);
    ::_exit(kov::write_all(ends[1], "text"));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ends[0]);
  ::close(ends[1]);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "seccomp is not allowed here";
  EXPECT_EQ(WEXITSTATUS(status), EIO);
}

TEST(FrontEndReadSome, RetriesAnInterruptedRead) {
  const kov_test::InterruptingSignal signal;
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::optional<std::expected<std::size_t, int>> got;
  char buffer[100] = {};
  std::thread reader([&] {
    tid = kov_test::current_tid();
    got = kov::read_some(ends[0], std::as_writable_bytes(std::span(buffer)));
    done = true;
  });
  while (tid.load() == 0) std::this_thread::yield();
  const int before = signals_seen.load();
  wait_blocked(tid, SYS_read, done);
  ::pthread_kill(reader.native_handle(), SIGUSR1);
  while (signals_seen.load() == before) std::this_thread::yield();
  wait_blocked(tid, SYS_read, done);
  ASSERT_EQ(::write(ends[1], "yes\n", 4), 4);
  reader.join();
  ::close(ends[0]);
  ::close(ends[1]);
  ASSERT_TRUE(got.has_value());
  ASSERT_TRUE(*got) << got->error();
  EXPECT_EQ(std::string(buffer, **got), "yes\n");
}

}  // namespace
