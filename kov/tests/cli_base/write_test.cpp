// The front end's loops on the standard streams go on through interrupted
// calls and short counts.

#include "cli_base/write.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
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
