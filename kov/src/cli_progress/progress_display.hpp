#pragma once
// The one-line progress display of long operations (creation, extraction). The
// work runs on the calling thread; a scoped display thread polls the library's
// progress counters and redraws the line on standard error.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "cli_base/localized.hpp"

namespace kov::cli_progress {

// The eight localized words of the line.
struct ProgressLabels {
  std::string_view action;
  std::string_view preparing;
  std::string_view finalizing;
  std::string_view elapsed;
  std::string_view remaining;
  std::string_view estimating;
  std::string_view done;
  std::string_view failed;
};

enum class ProgressState : std::uint8_t { Failed = 0, Done = 1, Running = 2 };

// What the line reports: creation (compression words) or extraction.
enum class ProgressOperation : std::uint8_t { Create = 0, Extract = 1 };

[[nodiscard]] ProgressLabels labels(Language language, ProgressOperation operation);

// MM:SS below an hour, HH:MM:SS from then on.
[[nodiscard]] std::string time_text(std::uint64_t seconds);

// One line of the display, without a line end.
[[nodiscard]] std::string line(const ProgressLabels& labels, std::uint64_t completed,
                               std::uint64_t total, std::chrono::nanoseconds elapsed,
                               std::chrono::nanoseconds work, std::uint64_t refresh_count,
                               ProgressState state);

// What one refresh writes: on a terminal "\r", the line, spaces up to the
// widest line drawn so far (counted in characters) and "\n" after the final
// line; elsewhere the line and "\n". `widest` carries across refreshes.
[[nodiscard]] std::string frame(const std::string& line, bool final, bool terminal,
                                std::size_t& widest);

namespace detail {

// Starts the display thread; it ends after drawing the final line once `outcome`
// is set, or at once when the promise behind it is released unset.
class Display {
 public:
  Display(Language language, ProgressOperation operation, std::future<bool> outcome);
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  ~Display();  // joins

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace detail

// Calls `work` on this thread and returns its result unchanged; when `enabled`,
// the display runs beside it and has drawn its final line before this returns,
// or before an exception of the work leaves it (drawn as a failure).
template <class Work>
auto run(bool enabled, Language language, ProgressOperation operation, Work&& work)
    -> std::invoke_result_t<Work&> {
  if (!enabled) return work();
  std::promise<bool> outcome;
  detail::Display display(language, operation, outcome.get_future());
  // Set on every way out, before the display joins: its thread waits for it.
  try {
    auto result = work();
    outcome.set_value(result.has_value());
    return result;
  } catch (...) {
    outcome.set_value(false);
    throw;
  }
}

}  // namespace kov::cli_progress
