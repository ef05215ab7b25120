#include "main/commands_create.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "cli_progress/progress_display.hpp"
#include "kov_core/archive.hpp"
#include "main/output.hpp"

namespace kov {

namespace {

using kov_core::Error;
using kov_core::Result;
using kov_core::crypto::EncryptionCredential;

Result<kov_core::util::SecretBytes> read_whole_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(Error::os(errno));
  kov_core::util::SecretBytes bytes;
  struct stat st {};
  // Growing the buffer copies it; start at the file's size so that the secret
  // usually lands once (every released buffer is wiped either way).
  std::size_t capacity = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096;
  std::size_t used = 0;
  for (;;) {
    if (bytes.size() < used + 1) bytes.resize(std::max(capacity, used * 2 + 1));
    const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      return std::unexpected(Error::os(e));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    capacity = bytes.size();
  }
  ::close(fd);
  bytes.resize(used);
  return bytes;
}

}  // namespace

Result<EncryptionCredential> credential(const std::optional<std::filesystem::path>& password_file,
                                        const std::optional<std::filesystem::path>& key_file) {
  if (password_file) {
    auto bytes = read_whole_file(*password_file);
    if (!bytes) return std::unexpected(std::move(bytes).error());
    while (!bytes->empty() && (bytes->back() == '\n' || bytes->back() == '\r')) bytes->pop_back();
    return EncryptionCredential::password(std::move(*bytes));
  }
  if (key_file) return kov_core::crypto::read_key_file(*key_file);
  return EncryptionCredential();
}

Result<std::filesystem::path> absolute_lexical(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.empty()) return std::unexpected(Error::io("cannot make an empty path absolute"));
  std::string out;
  if (text.starts_with("//") && !text.starts_with("///")) {
    out = "//";  // a leading pair of slashes has its own meaning and stays
  } else if (text[0] != '/') {
    std::vector<char> cwd(PATH_MAX);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) return std::unexpected(Error::os(errno));
      cwd.resize(cwd.size() * 2);
    }
    out = cwd.data();
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
    return std::unexpected(Error::invalid_input("input has no file or directory name; specify --output"));
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
  auto created = cli_progress::run(context.progress, context.language, 0, [&] {
    return legacy ? kov_core::archive::create_archive_0_4(output, create.inputs, std::move(options))
                  : kov_core::archive::create_archive(output, create.inputs, std::move(options));
  });
  if (!created) return created;
  write_stdout("created " + display_path(output) + "\n");
  return {};
}

}  // namespace kov
