// The system-call loops keep going through short counts and interrupted calls,
// and report the end of a file as their callers expect.

#include "util/io.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kov_core/fd.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/interrupt.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::util::Fd;
using kov_test::Bytes;
using kov_test::signals_seen;
using kov_test::wait_blocked;

std::pair<Fd, Fd> make_pipe() {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  return {Fd(ends[0]), Fd(ends[1])};
}

TEST(WriteAll, ContinuesAfterShortAndInterruptedWrites) {
  const kov_test::InterruptingSignal signal;
  auto [read_end, write_end] = make_pipe();
  // A one-page pipe makes every large write block, so each signal cuts one.
  ASSERT_GE(::fcntl(write_end.get(), F_SETPIPE_SZ, 4096), 0);
  Bytes content(64 * 1024);
  for (std::size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<std::uint8_t>(i * 7 + i / 251);

  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::optional<kov_core::Result<void>> written;
  std::thread writer([&] {
    tid = kov_test::current_tid();
    written = kov_core::util::write_all(write_end.get(), content);
    write_end.reset();
    done = true;
  });
  while (tid.load() == 0) std::this_thread::yield();

  const int before = signals_seen.load();
  Bytes received;
  std::uint8_t chunk[1000];
  for (;;) {
    wait_blocked(tid, SYS_write, done);
    if (!done) ::pthread_kill(writer.native_handle(), SIGUSR1);
    const ssize_t n = ::read(read_end.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GE(n, 0);
    if (n == 0) break;
    received.insert(received.end(), chunk, chunk + n);
  }
  writer.join();
  ASSERT_TRUE(written.has_value());
  EXPECT_TRUE(*written) << written->error().display();
  EXPECT_EQ(received, content);
  EXPECT_GT(signals_seen.load() - before, 8);
}

TEST(ReadSome, RetriesAnInterruptedReadAndReturnsWhatArrived) {
  const kov_test::InterruptingSignal signal;
  auto [read_end, write_end] = make_pipe();
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::optional<kov_core::Result<std::size_t>> got;
  std::uint8_t buffer[100] = {};
  std::thread reader([&] {
    tid = kov_test::current_tid();
    got = kov_core::util::read_some(read_end.get(), buffer);
    done = true;
  });
  while (tid.load() == 0) std::this_thread::yield();

  // Interrupted while waiting, then asleep in read again: that is the retry.
  const int before = signals_seen.load();
  wait_blocked(tid, SYS_read, done);
  ASSERT_FALSE(done.load());
  ::pthread_kill(reader.native_handle(), SIGUSR1);
  while (signals_seen.load() == before) std::this_thread::yield();
  wait_blocked(tid, SYS_read, done);
  const std::uint8_t three[] = {1, 2, 3};
  ASSERT_EQ(::write(write_end.get(), three, sizeof three), 3);
  reader.join();

  ASSERT_TRUE(got.has_value());
  ASSERT_TRUE(*got) << got->error().display();
  EXPECT_EQ(**got, 3u);  // what the pipe held, not the buffer's size
  EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes(three, three + 3));

  write_end.reset();
  auto end = kov_core::util::read_some(read_end.get(), buffer);
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, 0u);
}

TEST(RetryTransient, RetriesEintrAndEagainUpToTheBoundAndStopsAtAnyOtherOutcome) {
  // Each call fails with the next errno of the script, or succeeds with 7 at a 0.
  struct Case {
    const char* name;
    std::vector<int> script;
    long result;
    int error;
    std::size_t calls;
  };
  const std::vector<int> busy(10, EAGAIN);
  const std::vector<int> interrupted(10, EINTR);
  for (const Case& c : {
           Case{"success at once", {0}, 7, 0, 1},
           Case{"interrupted, then busy, then success", {EINTR, EAGAIN, EINTR, 0}, 7, 0, 4},
           Case{"success on the last attempt", {EAGAIN, EAGAIN, EAGAIN, EAGAIN, 0}, 7, 0, 5},
           Case{"another failure ends it", {EAGAIN, EXDEV, 0}, -1, EXDEV, 2},
           Case{"busy past the bound", busy, -1, EAGAIN, 5},
           Case{"interrupted past the bound", interrupted, -1, EINTR, 5},
       }) {
    SCOPED_TRACE(c.name);
    std::size_t calls = 0;
    errno = 0;
    const long result = kov_core::util::retry_transient(
        [&]() -> long {
          const int error = c.script.at(calls++);
          errno = error;
          return error == 0 ? 7 : -1;
        },
        5);
    const int left = result < 0 ? errno : 0;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(left, c.error);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST(PreadExact, ReadsInsideTheFileAndCallsAnEarlyEndAShortFile) {
  kov_test::TempDir dir;
  const Bytes content{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  kov_test::write_file(dir / "ten", content);
  const Fd file(::open((dir / "ten").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.valid());

  struct Case {
    std::uint64_t offset;
    std::size_t length;
    bool whole;
  };
  for (const Case& c : {Case{0, 10, true}, Case{4, 6, true}, Case{10, 0, true}, Case{4, 7, false},
                        Case{10, 1, false}, Case{1000, 1, false}}) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    Bytes out(c.length, 0xee);
    auto read = kov_core::util::pread_exact(file.get(), out, c.offset);
    if (!c.whole) {
      EXPECT_KOV_ERROR(read, ErrorKind::Io, "I/O error: failed to fill whole buffer");
      continue;
    }
    ASSERT_TRUE(read) << read.error().display();
    const auto from = content.begin() + static_cast<std::ptrdiff_t>(c.offset);
    EXPECT_EQ(out, Bytes(from, from + static_cast<std::ptrdiff_t>(c.length)));
  }
  // A positioned read never moves the file position.
  EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 0);
}

TEST(PwriteAll, WritesAtTheOffsetAndReportsTheOsErrorBare) {
  kov_test::TempDir dir;
  const auto path = dir / "out";
  const Fd file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(kov_core::util::write_all(file.get(), Bytes(6, 'a')));
  ASSERT_TRUE(kov_core::util::pwrite_all(file.get(), Bytes{'b', 'c'}, 2));
  ASSERT_TRUE(kov_core::util::write_all(file.get(), Bytes{'d'}));
  EXPECT_EQ(kov_test::read_file(path), (Bytes{'a', 'a', 'b', 'c', 'a', 'a', 'd'}));

  auto [read_end, write_end] = make_pipe();
  EXPECT_KOV_ERROR(kov_core::util::pwrite_all(write_end.get(), Bytes{1}, 0), ErrorKind::Io,
                   "I/O error: Illegal seek (os error 29)");
}

TEST(CopyWhole, CopiesFromTheStartToTheFilePositionAndReportsTheOsErrorBare) {
  kov_test::TempDir dir;
  Bytes content(100'000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  kov_test::write_file(dir / "from", content);
  const Fd from(::open((dir / "from").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(from.valid());
  ASSERT_EQ(::lseek(from.get(), 5, SEEK_SET), 5);
  const Fd to(::open((dir / "to").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  ASSERT_TRUE(to.valid());
  ASSERT_TRUE(kov_core::util::write_all(to.get(), Bytes{'a', 'b'}));
  auto copied = kov_core::util::copy_whole(from.get(), to.get());
  ASSERT_TRUE(copied) << copied.error().display();
  Bytes expected{'a', 'b'};
  expected.insert(expected.end(), content.begin(), content.end());
  EXPECT_EQ(kov_test::read_file(dir / "to"), expected);

  const Fd read_only(::open((dir / "to").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_KOV_ERROR(kov_core::util::copy_whole(from.get(), read_only.get()), ErrorKind::Io,
                   "I/O error: Bad file descriptor (os error 9)");
}

}  // namespace
