#pragma once
// Interrupting a thread inside a blocking system call, for the tests of the
// loops that must retry it: SIGUSR1 without SA_RESTART makes a blocked call
// return early, with a short count when part of it was done and with EINTR
// when none was.

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

namespace kov_test {

inline std::atomic<int> signals_seen{0};

// Installs the handler for its lifetime; signals_seen counts deliveries.
class InterruptingSignal {
 public:
  InterruptingSignal() {
    struct sigaction action{};
    action.sa_handler = [](int) { signals_seen.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &previous_);
  }
  InterruptingSignal(const InterruptingSignal&) = delete;
  InterruptingSignal& operator=(const InterruptingSignal&) = delete;
  ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous_, nullptr); }

 private:
  struct sigaction previous_{};
};

inline pid_t current_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Whether thread `tid` of this process sleeps inside system call `number`.
inline bool blocked_in(pid_t tid, long number) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long current = -1;
  return static_cast<bool>(in >> current) && current == number;
}

// Waits until the thread sleeps in system call `number`, or `done` is set.
inline void wait_blocked(pid_t tid, long number, const std::atomic<bool>& done) {
  while (!done.load() && !blocked_in(tid, number)) std::this_thread::yield();
}

}  // namespace kov_test
