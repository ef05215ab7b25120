#pragma once
// "kov PATH": an archive is extracted beside itself after a question on the
// terminal, anything else is packed into a new archive beside itself.

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "cli_base/localized.hpp"
#include "kov_core/error.hpp"
#include "main/output.hpp"

namespace kov {

// Whether the one argument after the program name takes the shortcut instead
// of the parser: never for an option, for a subcommand word only when a file
// or directory of that name exists, always otherwise (even when nothing of
// that name exists, and for the empty argument).
[[nodiscard]] bool single_path_applies(const std::string& argument);

// Packs or extracts `argument` beside itself. Declining the question and the
// end of standard input are successes that extract nothing.
[[nodiscard]] kov_core::Result<void> run_single_path(const std::filesystem::path& argument,
                                                     Language language);

// ---- The pieces of the shortcut ----

// The parent of an absolute path, found lexically (a trailing "/" is not a
// component); none for the root.
[[nodiscard]] std::optional<std::filesystem::path> lexical_parent(
    const std::filesystem::path& absolute);

// Whether the final component's extension (the text after its last ".", when
// that "." is not its first character) is "kov" in any ASCII letter case.
[[nodiscard]] bool has_kov_extension(const std::filesystem::path& path);

// "{action} {archive} → {parent} [{hint}] " in the language, without a line
// feed; the paths as shown.
[[nodiscard]] std::string extraction_question(Language language,
                                              const std::filesystem::path& archive,
                                              const std::filesystem::path& parent, Shown shown);

// The longest line, line feed included, that can be an answer. A longer one
// is no answer whatever it says, so no more of it is held.
inline constexpr std::size_t ANSWER_LINE_LIMIT = 4096;

// One line read at the question.
struct AnswerLine {
  std::string text;       // with its line feed, if any; empty at the end of input
  bool too_long = false;  // over ANSWER_LINE_LIMIT bytes, and then `text` is empty
};

// Reads the lines typed at the question through a buffer. Where the
// descriptor can seek, what was read past a line is given back, so that a file
// of answers is left just after the last one read.
class AnswerReader {
 public:
  // `fd` is not owned.
  explicit AnswerReader(int fd) noexcept;
  // The next line. A read failure is an Io error, and a line that is not valid
  // UTF-8 is Io "stream did not contain valid UTF-8", however long it is.
  [[nodiscard]] kov_core::Result<AnswerLine> next_line();

 private:
  void give_back() noexcept;

  int fd_;
  bool seekable_;
  std::array<char, 4096> buffer_{};
  std::size_t begin_ = 0;  // the unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
};

enum class Answer : unsigned char { Accept, Decline, AskAgain };

// What one line typed at the question means in the language: blank accepts,
// "n", "no" and "non" decline everywhere, "o"/"oui" (French) or "y"/"yes"
// (the others) accept, in any ASCII letter case. `line` is valid UTF-8.
[[nodiscard]] Answer classify_answer(std::string_view line, Language language);

// `text` without its leading and trailing Unicode White_Space characters.
// `text` is valid UTF-8.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

}  // namespace kov
