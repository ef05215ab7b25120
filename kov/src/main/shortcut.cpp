#include "main/shortcut.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "cli_base/write.hpp"
#include "cli_help/texts.hpp"
#include "cli_progress/progress_display.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/utf8.hpp"
#include "main/cli.hpp"
#include "main/commands_create.hpp"
#include "main/output.hpp"

namespace kov {

namespace {

namespace fs = std::filesystem;
using kov_core::Error;
using kov_core::Result;

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool names_file_or_directory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

bool names_regular_file(const fs::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// `text` without a trailing lead byte and the continuation bytes after it,
// which the bytes still to come may complete.
std::size_t complete_prefix(std::string_view text) {
  std::size_t start = text.size();
  while (start > 0 && text.size() - start < 3 &&
         (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
    --start;
  if (start > 0 && static_cast<unsigned char>(text[start - 1]) >= 0xC0) return start - 1;
  return text.size();
}

Result<void> create_beside(const fs::path& absolute, const fs::path& parent, Language language,
                           bool progress) {
  auto name = default_output(absolute);
  if (!name) return std::unexpected(std::move(name).error());
  const fs::path output = parent / *name;
  const std::vector<fs::path> inputs{absolute};
  KOV_TRY(cli_progress::run(progress, language, cli_progress::ProgressOperation::Create, [&] {
    return kov_core::archive::create_archive(output, inputs, kov_core::archive::CreateOptions{});
  }));
  write_stdout(created_text(output, shown_on(STDOUT_FILENO)));
  return {};
}

Result<void> extract_beside(const fs::path& absolute, const fs::path& parent, Language language,
                            bool progress) {
  auto archive = kov_core::archive::Archive::open(absolute);
  if (!archive) return std::unexpected(std::move(archive).error());
  const std::string question =
      extraction_question(language, absolute, parent, shown_on(STDERR_FILENO));
  AnswerReader answers(STDIN_FILENO);
  for (;;) {
    // Written unbuffered, so there is nothing left to flush.
    write_stderr(question);
    auto line = answers.next_line();
    if (!line) return std::unexpected(std::move(line).error());
    if (line->too_long) continue;
    if (line->text.empty()) return {};
    const Answer answer = classify_answer(line->text, language);
    if (answer == Answer::Decline) return {};
    if (answer == Answer::Accept) break;
  }
  auto count = cli_progress::run(progress, language, cli_progress::ProgressOperation::Extract,
                                 [&] { return archive->extract(parent, {}, false); });
  if (!count) return std::unexpected(std::move(count).error());
  write_stdout(extracted_text(*count, parent, shown_on(STDOUT_FILENO)));
  return {};
}

}  // namespace

bool single_path_applies(const std::string& argument) {
  const std::string text = kov_core::util::lossy_utf8(argument);
  if (text.starts_with("-")) return false;
  if (Cli::command().find_subcommand(text) != nullptr) return names_file_or_directory(argument);
  return true;
}

std::optional<fs::path> lexical_parent(const fs::path& absolute) {
  std::string text = absolute.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::size_t slash = text.rfind('/');
  if (slash == std::string::npos || text == "/") return std::nullopt;
  std::string parent = text.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (parent.empty()) parent = "/";
  return fs::path(parent);
}

bool has_kov_extension(const fs::path& path) {
  const std::string& text = path.native();
  const std::string name = text.substr(text.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot != 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    char c = name[dot + 1 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != "kov"[i]) return false;
  }
  return true;
}

std::string extraction_question(Language language, const fs::path& archive, const fs::path& parent,
                                Shown shown) {
  return std::string(cli_help::QUESTION_ACTION[language]) + " " + display_path(archive, shown) +
         " \u2192 " + display_path(parent, shown) + " [" +
         std::string(cli_help::QUESTION_HINT[language]) + "] ";
}

AnswerReader::AnswerReader(int fd) noexcept : fd_(fd), seekable_(::lseek(fd, 0, SEEK_CUR) != -1) {}

Result<AnswerLine> AnswerReader::next_line() {
  AnswerLine line;
  bool valid = true;
  for (;;) {
    if (begin_ == end_) {
      const auto n = read_some(fd_, std::as_writable_bytes(std::span(buffer_)));
      if (!n) return std::unexpected(Error::os(n.error()));
      if (*n == 0) break;
      begin_ = 0;
      end_ = *n;
    }
    const std::string_view unread(buffer_.data() + begin_, end_ - begin_);
    const std::size_t feed = unread.find('\n');
    const std::size_t taken = feed == std::string_view::npos ? unread.size() : feed + 1;
    line.text.append(unread.substr(0, taken));
    begin_ += taken;
    if (line.text.size() > ANSWER_LINE_LIMIT) {
      // No answer any more: only its validity is left to learn, so what has
      // been checked is dropped.
      line.too_long = true;
      const std::size_t checked = complete_prefix(line.text);
      valid =
          valid && kov_core::util::is_valid_utf8(std::string_view(line.text).substr(0, checked));
      line.text.erase(0, checked);
    }
    if (feed != std::string_view::npos) break;
  }
  give_back();
  if (!valid || !kov_core::util::is_valid_utf8(line.text))
    return std::unexpected(Error::io("stream did not contain valid UTF-8"));
  if (line.too_long) line.text.clear();
  return line;
}

void AnswerReader::give_back() noexcept {
  if (!seekable_ || begin_ == end_) return;
  if (::lseek(fd_, -static_cast<off_t>(end_ - begin_), SEEK_CUR) != -1) begin_ = end_;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(kov_core::util::next_code_point(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t position = start;
    if (!is_white_space(kov_core::util::next_code_point(text, position))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

Answer classify_answer(std::string_view line, Language language) {
  std::string word(trim_white_space(line));
  if (word.empty()) return Answer::Accept;
  for (char& c : word)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (word == "n" || word == "no" || word == "non") return Answer::Decline;
  const bool accepted =
      word == cli_help::ACCEPT_SHORT[language] || word == cli_help::ACCEPT_LONG[language];
  return accepted ? Answer::Accept : Answer::AskAgain;
}

Result<void> run_single_path(const fs::path& argument, Language language) {
  auto absolute = absolute_lexical(argument);
  if (!absolute) return std::unexpected(std::move(absolute).error());
  const std::optional<fs::path> parent = lexical_parent(*absolute);
  if (!parent) return std::unexpected(Error::invalid_input("input has no parent directory"));
  const bool progress = ::isatty(STDERR_FILENO) == 1;
  if (names_regular_file(*absolute) && has_kov_extension(*absolute))
    return extract_beside(*absolute, *parent, language, progress);
  return create_beside(*absolute, *parent, language, progress);
}

}  // namespace kov
