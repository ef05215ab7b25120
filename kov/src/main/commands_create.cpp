#include "main/commands_create.hpp"

#include <unistd.h>

#include <system_error>
#include <vector>

#include "cli_progress/progress_display.hpp"
#include "kov_core/archive.hpp"
#include "main/command_credential.hpp"
#include "main/output.hpp"

namespace kov {

using kov_core::Error;
using kov_core::Result;

Result<std::filesystem::path> absolute_lexical(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.empty()) return std::unexpected(Error::io("cannot make an empty path absolute"));
  std::string out;
  if (text.starts_with("//") && !text.starts_with("///")) {
    out = "//";  // a leading pair of slashes has its own meaning and stays
  } else if (text[0] != '/') {
    std::error_code error;
    out = std::filesystem::current_path(error).native();
    if (error) return std::unexpected(Error::os(error.value()));
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    const std::string_view part(text.data() + start, slash - start);
    if (!part.empty() && part != ".") {
      if (out.empty() || out.back() != '/') out += '/';
      out += part;
    }
    start = slash + 1;
  }
  if (out.empty()) out = "/";
  if (text.back() == '/' && out.back() != '/') out += '/';
  return std::filesystem::path(out);
}

Result<std::filesystem::path> default_output(const std::filesystem::path& input) {
  auto absolute = absolute_lexical(input);
  if (!absolute) return std::unexpected(std::move(absolute).error());
  std::string text = absolute->native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::string name = text.substr(text.rfind('/') + 1);
  if (name.empty() || name == "..")
    return std::unexpected(
        Error::invalid_input("input has no file or directory name; specify --output"));
  return std::filesystem::path(name + ".kov");
}

Result<void> run_create(const Create& create, const RunContext& context) {
  std::filesystem::path output;
  if (create.output) {
    output = *create.output;
  } else {
    auto name = default_output(create.inputs.front());
    if (!name) return std::unexpected(std::move(name).error());
    output = std::move(*name);
  }
  auto secret = credential(create.password_file, create.key_file);
  if (!secret) return std::unexpected(std::move(secret).error());
  kov_core::archive::CreateOptions options{std::move(*secret)};
  const bool legacy = create.format_version == "0.4.0";
  const auto operation = cli_progress::ProgressOperation::Create;
  auto created = cli_progress::run(context.progress, context.language, operation, [&] {
    return legacy ? kov_core::archive::create_archive_0_4(output, create.inputs, std::move(options))
                  : kov_core::archive::create_archive(output, create.inputs, std::move(options));
  });
  if (!created) return created;
  write_stdout(created_text(output, shown_on(STDOUT_FILENO)));
  return {};
}

}  // namespace kov
