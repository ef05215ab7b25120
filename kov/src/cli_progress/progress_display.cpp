#include "cli_progress/progress_display.hpp"

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "cli_base/write.hpp"
#include "kov_core/progress.hpp"
#include "kov_core/utf8.hpp"

namespace kov::cli_progress {

namespace {

using Clock = std::chrono::steady_clock;
// The percentage's product needs more than 64 bits for large totals.
__extension__ using Wide = unsigned __int128;

const Localized COMPRESSION{"Compression", "Compression", "Compresión", "Komprimierung",
                            "Compressão"};
const Localized EXTRACTION{"Extraction", "Décompression", "Descompresión", "Entpacken",
                           "Descompressão"};
const Localized PREPARING{"Preparing", "Préparation", "Preparación", "Vorbereitung", "Preparação"};
const Localized FINALIZING{"Finalizing", "Finalisation", "Finalización", "Abschluss",
                           "Finalização"};
const Localized ELAPSED{"elapsed", "écoulé", "transcurrido", "vergangen", "decorrido"};
const Localized REMAINING{"remaining", "restant", "restante", "verbleibend", "restante"};
const Localized ESTIMATING{"estimating…", "calcul…", "calculando…", "Berechnung…", "calculando…"};
const Localized DONE{"Done", "Terminé", "Terminado", "Fertig", "Concluído"};
const Localized FAILED{"Failed", "Échec", "Error", "Fehler", "Falhou"};

std::string two_digits(std::uint64_t value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

std::string estimate(const ProgressLabels& labels, std::uint64_t completed, std::uint64_t total,
                     std::chrono::nanoseconds work) {
  if (completed == 0 || completed >= total || work < std::chrono::milliseconds(500))
    return std::string(labels.estimating);
  const double seconds = static_cast<double>(work.count() / 1'000'000'000) +
                         static_cast<double>(work.count() % 1'000'000'000) / 1e9;
  const double left =
      std::ceil(seconds * static_cast<double>(total - completed) / static_cast<double>(completed));
  std::uint64_t rounded = 0;
  if (left >= 18446744073709551616.0)
    rounded = UINT64_MAX;
  else if (left > 0)
    rounded = static_cast<std::uint64_t>(left);  // NaN and negatives stay 0
  return "~" + time_text(rounded);
}

}  // namespace

ProgressLabels labels(Language language, ProgressOperation operation) {
  return {operation == ProgressOperation::Create ? COMPRESSION[language] : EXTRACTION[language],
          PREPARING[language],
          FINALIZING[language],
          ELAPSED[language],
          REMAINING[language],
          ESTIMATING[language],
          DONE[language],
          FAILED[language]};
}

std::string time_text(std::uint64_t s) {
  if (s < 3600) return two_digits(s / 60) + ":" + two_digits(s % 60);
  return two_digits(s / 3600) + ":" + two_digits((s / 60) % 60) + ":" + two_digits(s % 60);
}

std::string line(const ProgressLabels& labels, std::uint64_t completed, std::uint64_t total,
                 std::chrono::nanoseconds elapsed, std::chrono::nanoseconds work,
                 std::uint64_t refresh_count, ProgressState state) {
  std::uint64_t percent = 0;
  if (state == ProgressState::Done) {
    percent = 100;
  } else if (total != 0) {
    const Wide done = std::min(completed, total);
    percent = std::min<std::uint64_t>(static_cast<std::uint64_t>(done * 100 / total), 99);
  }
  const auto filled = static_cast<std::size_t>(percent * 12 / 100);
  const std::string bar = "[" + std::string(filled, '=') + std::string(12 - filled, '.') + "]";
  std::string pct = std::to_string(percent);
  pct.insert(0, 3 - std::min<std::size_t>(3, pct.size()), ' ');
  const auto elapsed_seconds =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
  const std::string clock = time_text(elapsed_seconds);
  const std::string action(labels.action);

  if (state == ProgressState::Running && total == 0) {
    static constexpr std::array<std::string_view, 4> SPINNER{"|", "/", "-", "\\"};
    return action + " " + std::string(SPINNER[refresh_count % 4]) + " " +
           std::string(labels.preparing) + " | " + std::string(labels.elapsed) + " " + clock +
           " | " + std::string(labels.remaining) + " " + std::string(labels.estimating);
  }
  if (state == ProgressState::Running && completed < total) {
    return action + " " + bar + " " + pct + "% | " + std::string(labels.elapsed) + " " + clock +
           " | " + std::string(labels.remaining) + " " + estimate(labels, completed, total, work);
  }
  const std::string_view status = state == ProgressState::Running ? labels.finalizing
                                  : state == ProgressState::Done  ? labels.done
                                                                  : labels.failed;
  return action + " " + bar + " " + pct + "% | " + std::string(status) + " | " +
         std::string(labels.elapsed) + " " + clock;
}

std::string frame(const std::string& text, bool final, bool terminal, std::size_t& widest) {
  if (!terminal) return text + "\n";
  const std::size_t count = kov_core::util::char_count(text);
  widest = std::max(widest, count);
  return "\r" + text + std::string(widest - count, ' ') + (final ? "\n" : "");
}

namespace detail {

struct Display::Impl {
  ProgressLabels labels;
  bool terminal;
  Clock::time_point start;
  std::chrono::milliseconds interval;
  std::future<bool> outcome;
  std::jthread thread;  // last, so that it is joined before the rest goes

  void loop() {
    // Nothing else writes to standard error while the display lives, so the
    // error or result line always comes after its final line.
    std::lock_guard lock(stderr_mutex());
    std::optional<Clock::time_point> work_start;
    std::size_t widest = 0;
    std::uint64_t refreshes = 0;
    ProgressState state = ProgressState::Running;
    for (;;) {
      const std::uint64_t total = kov_progress_total();
      const std::uint64_t completed = kov_progress_completed();
      const auto now = Clock::now();
      if (total != 0 && !work_start) work_start = now;
      const auto work = work_start ? now - *work_start : Clock::duration::zero();
      const std::string text = line(labels, completed, total, now - start, work, refreshes, state);
      // Write failures are ignored: the display never disturbs the work.
      (void)write_all(STDERR_FILENO,
                      frame(text, state != ProgressState::Running, terminal, widest));
      if (state != ProgressState::Running) return;
      try {
        if (outcome.wait_for(interval) == std::future_status::ready)
          state = outcome.get() ? ProgressState::Done : ProgressState::Failed;
      } catch (const std::future_error&) {
        return;  // the work ended without a word: no final line
      }
      ++refreshes;
    }
  }
};

Display::Display(Language language, ProgressOperation operation, std::future<bool> outcome) {
  kov_progress_reset();
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  impl_ =
      std::make_unique<Impl>(labels(language, operation), terminal, Clock::now(),
                             std::chrono::milliseconds(terminal ? 200 : 1000), std::move(outcome));
  try {
    impl_->thread = std::jthread([impl = impl_.get()] {
      try {
        impl->loop();
      } catch (const std::bad_alloc&) {
        // Without memory for a line the display just stops; the work goes on.
      }
    });
  } catch (const std::system_error&) {
    (void)write_all(STDERR_FILENO, "kov: failed to spawn thread\n");
    std::_Exit(EXIT_PRINT_FAILED);
  }
}

Display::~Display() = default;

}  // namespace detail

}  // namespace kov::cli_progress
