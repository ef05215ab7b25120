#include "main/driver.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include "cli_base/write.hpp"
#include "cli_help/language.hpp"
#include "cli_help/localize.hpp"
#include "main/output.hpp"
#include "main/shortcut.hpp"

namespace kov {

namespace {

using kov_core::Error;
using kov_core::Result;

// A usage error quotes the words of the command line: on a terminal each of
// its lines is escaped like any error line.
std::string shown_lines(std::string_view text, Shown shown) {
  if (shown == Shown::Raw) return std::string(text);
  std::string out;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    out += shown_text(text.substr(start, end - start), shown);
    if (end < text.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

Result<void> run_unguarded(std::span<const std::string> args) {
  const Language language = cli_help::detect_language(args);
  if (args.size() == 2 && single_path_applies(args[1])) return run_single_path(args[1], language);

  const CommandDef definition = cli_help::localized_command(Cli::command(), language);
  ParseOutcome outcome = parse(definition, args);
  if (auto* exit = std::get_if<ParserExit>(&outcome)) {
    // Like the parser of any tool, a help text that cannot be written is not an error.
    (void)write_all(
        exit->to_stderr ? STDERR_FILENO : STDOUT_FILENO,
        exit->to_stderr ? shown_lines(exit->text, shown_on(STDERR_FILENO)) : exit->text);
    std::_Exit(exit->status);
  }
  const Cli& cli = std::get<Cli>(outcome);

  RunContext context;
  context.language = language;
  context.program = program_name(args);
  context.progress =
      (cli.progress || cli.no_progress) ? !cli.no_progress : ::isatty(STDERR_FILENO) == 1;
  return run_command(cli.subcommand, context);
}

}  // namespace

Result<void> run(std::span<const std::string> args) {
  // An allocation failure unwinds like any error: every owner cleans up on the way.
  try {
    return run_unguarded(args);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::os(ENOMEM));
  } catch (const std::length_error&) {
    return std::unexpected(Error::os(ENOMEM));
  }
}

void main(int argc, char** argv) {
  std::size_t kind = 0;
  std::string line;
  try {
    const std::vector<std::string> args(argv, argv + argc);
    Result<void> result = run(args);
    if (result) std::exit(0);
    line = "kov: " + shown_text(result.error().display(), shown_on(STDERR_FILENO)) + "\n";
    kind = static_cast<std::size_t>(result.error().kind());
  } catch (const std::bad_alloc&) {
    line.clear();
  } catch (const std::length_error&) {
    line.clear();
  }
  // Too little memory even for the error line: the error is then that one.
  if (line.empty()) {
    kind = static_cast<std::size_t>(kov_core::ErrorKind::Io);
    write_stderr("kov: I/O error: Cannot allocate memory (os error 12)\n");
  } else {
    write_stderr(line);
  }
  std::_Exit(EXIT_CODES[kind]);
}

}  // namespace kov
