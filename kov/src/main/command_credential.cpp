#include "main/command_credential.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "cli_base/write.hpp"
#include "kov_core/fd.hpp"

namespace kov {

namespace {

using kov_core::Error;
using kov_core::Result;
using kov_core::crypto::EncryptionCredential;

Result<kov_core::util::SecretBytes> read_whole_file(const std::filesystem::path& path) {
  const kov_core::util::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(Error::os(errno));
  kov_core::util::SecretBytes bytes;
  struct stat st{};
  // Growing the buffer copies it; start at the file's size so that the secret
  // usually lands once (every released buffer is wiped either way).
  std::size_t capacity = ::fstat(fd.get(), &st) == 0 && st.st_size > 0
                             ? static_cast<std::size_t>(st.st_size) + 1
                             : 4096;
  std::size_t used = 0;
  for (;;) {
    if (bytes.size() < used + 1) bytes.resize(std::max(capacity, used * 2 + 1));
    const auto n = read_some(
        fd.get(), std::as_writable_bytes(std::span(bytes.data() + used, bytes.size() - used)));
    if (!n) return std::unexpected(Error::os(n.error()));
    if (*n == 0) break;
    used += *n;
    capacity = bytes.size();
  }
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

}  // namespace kov
