#include "cli_progress/progress_display.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <expected>
#include <filesystem>
#include <new>
#include <string>

#include "kov_core/progress.hpp"
#include "support/archive_bytes.hpp"

namespace {

using namespace kov::cli_progress;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(ProgressLine, Layouts) {
  const ProgressLabels en = labels(kov::Language::English, ProgressOperation::Create);
  struct Case {
    const char* name;
    ProgressLabels labels;
    std::uint64_t completed, total;
    std::chrono::nanoseconds elapsed, work;
    std::uint64_t refresh;
    ProgressState state;
    std::string text;
  };
  const Case cases[] = {
      {"preparing", en, 0, 0, 0s, 0s, 0, ProgressState::Running,
       "Compression | Preparing | elapsed 00:00 | remaining estimating…"},
      {"spinner turns", en, 0, 0, 1500ms, 0s, 5, ProgressState::Running,
       "Compression / Preparing | elapsed 00:01 | remaining estimating…"},
      {"half done", en, 50, 100, 12s, 12s, 0, ProgressState::Running,
       "Compression [======......]  50% | elapsed 00:12 | remaining ~00:12"},
      {"estimate waits for half a second of work", en, 50, 100, 12s, 499ms, 0,
       ProgressState::Running,
       "Compression [======......]  50% | elapsed 00:12 | remaining estimating…"},
      {"estimate rounds up", en, 3, 10, 2s, 1s, 0, ProgressState::Running,
       "Compression [===.........]  30% | elapsed 00:02 | remaining ~00:03"},
      {"all counted work done", en, 100, 100, 24s, 24s, 0, ProgressState::Running,
       "Compression [===========.]  99% | Finalizing | elapsed 00:24"},
      {"completed beyond the total", en, 105, 100, 24s, 24s, 0, ProgressState::Running,
       "Compression [===========.]  99% | Finalizing | elapsed 00:24"},
      {"done", en, 3, 10, 25s, 25s, 0, ProgressState::Done,
       "Compression [============] 100% | Done | elapsed 00:25"},
      {"failed", labels(kov::Language::English, ProgressOperation::Extract), 25, 100, 3s, 3s, 0,
       ProgressState::Failed, "Extraction [===.........]  25% | Failed | elapsed 00:03"},
      {"failed before the total", en, 0, 0, 0s, 0s, 0, ProgressState::Failed,
       "Compression [............]   0% | Failed | elapsed 00:00"},
      {"failed after all work still 99", en, 7, 7, 0s, 0s, 0, ProgressState::Failed,
       "Compression [===========.]  99% | Failed | elapsed 00:00"},
      {"huge totals do not overflow", en, UINT64_MAX / 2, UINT64_MAX, 59min + 59s, 1h, 0,
       ProgressState::Running,
       "Compression [=====.......]  49% | elapsed 59:59 | remaining ~01:00:00"},
      {"french extraction", labels(kov::Language::French, ProgressOperation::Extract), 0, 0, 3600s,
       0s, 3, ProgressState::Running,
       "Décompression \\ Préparation | écoulé 01:00:00 | restant calcul…"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(line(c.labels, c.completed, c.total, c.elapsed, c.work, c.refresh, c.state), c.text);
  }
}

TEST(ProgressLine, TimeTexts) {
  EXPECT_EQ(time_text(7), "00:07");
  EXPECT_EQ(time_text(3599), "59:59");
  EXPECT_EQ(time_text(3600), "01:00:00");
  EXPECT_EQ(time_text(360'000), "100:00:00");
}

TEST(ProgressLabelsTable, LocalizedWords) {
  EXPECT_EQ(labels(kov::Language::German, ProgressOperation::Create).action, "Komprimierung");
  EXPECT_EQ(labels(kov::Language::German, ProgressOperation::Extract).action, "Entpacken");
  EXPECT_EQ(labels(kov::Language::Spanish, ProgressOperation::Extract).failed, "Error");
  EXPECT_EQ(labels(kov::Language::Portuguese, ProgressOperation::Create).done, "Concluído");
}

TEST(ProgressFrame, TerminalRedrawsInPlaceAndPadsByCharacters) {
  std::size_t widest = 0;
  EXPECT_EQ(frame("Décompression abc", false, true, widest), "\rDécompression abc");
  EXPECT_EQ(widest, 17u);  // characters, not bytes
  EXPECT_EQ(frame("short", false, true, widest), "\rshort            ");
  EXPECT_EQ(frame("done", true, true, widest), "\rdone             \n");
  std::size_t unused = 0;
  EXPECT_EQ(frame("a line", true, false, unused), "a line\n");
  EXPECT_EQ(frame("a line", false, false, unused), "a line\n");
}

// Runs `run` with standard error sent to a file and returns what was written.
template <class Work>
std::string stderr_of(bool enabled, Work work) {
  const kov_test::TempDir dir;
  const int fd = ::open((dir / "stderr").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  (void)run(enabled, kov::Language::English, ProgressOperation::Create, work);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text(4096, '\0');
  const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
  ::close(fd);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

TEST(ProgressRun, DisabledWritesNothingAndKeepsTheCounters) {
  kov_progress_reset();
  std::string out = stderr_of(false, [] {
    EXPECT_EQ(kov_progress_total(), 0u);
    return std::expected<int, int>(42);
  });
  EXPECT_EQ(out, "");
}

TEST(ProgressRun, QuickWorkGivesTwoLinesOffATerminal) {
  const std::string out = stderr_of(true, [] { return std::expected<int, int>(1); });
  EXPECT_EQ(out,
            "Compression | Preparing | elapsed 00:00 | remaining estimating…\n"
            "Compression [============] 100% | Done | elapsed 00:00\n");
  const std::string failed =
      stderr_of(true, [] { return std::expected<int, int>(std::unexpected(3)); });
  EXPECT_TRUE(failed.ends_with("Compression [............]   0% | Failed | elapsed 00:00\n"))
      << failed;
}

TEST(ProgressRun, ReturnsTheWorkResultUnchanged) {
  auto result = run(true, kov::Language::English, ProgressOperation::Create,
                    [] { return std::expected<int, std::string>(std::unexpected("boom")); });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "boom");
}

TEST(ProgressRun, WorkThatThrowsEndsTheLineAsFailedAndRethrows) {
  const kov_test::TempDir dir;
  const fs::path log = dir / "stderr";
  // A hang must not stop the whole suite: the child has five seconds.
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(5);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    try {
      (void)run(true, kov::Language::English, ProgressOperation::Create,
                []() -> std::expected<int, int> { throw std::bad_alloc(); });
    } catch (const std::bad_alloc&) {
      ::_exit(0);
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const kov_test::Bytes written = kov_test::read_file(log);
  const std::string text(written.begin(), written.end());
  EXPECT_TRUE(text.ends_with("Compression [............]   0% | Failed | elapsed 00:00\n")) << text;
}

}  // namespace
