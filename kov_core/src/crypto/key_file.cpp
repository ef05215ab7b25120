#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "kov_core/crypto.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/format.hpp"
#include "kov_core/secret.hpp"
#include "util/files.hpp"
#include "util/guard.hpp"
#include "util/random.hpp"

namespace kov_core::crypto {

namespace {

constexpr std::size_t MAGIC_SIZE = KEY_FILE_MAGIC.size();
constexpr std::size_t CHECKED_SIZE =
    MAGIC_SIZE + KEY_SIZE;  // magic and secret, covered by the checksum

using KeyFileImage = util::SecretArray<KEY_FILE_SIZE>;

Result<void> read_all(int fd, KeyFileImage& image) {
  auto n = util::read_up_to(fd, std::span<std::uint8_t>(image.data(), image.size()));
  if (!n) return std::unexpected(std::move(n).error());
  // The size was checked a moment ago: a short file has shrunk since.
  if (*n < image.size()) return std::unexpected(Error::io("failed to fill whole buffer"));
  return {};
}

}  // namespace

Result<EncryptionCredential> read_key_file(const std::filesystem::path& path) {
  return util::guarded([&]() -> Result<EncryptionCredential> {
    // O_NONBLOCK: a named pipe or device at the path must neither hang the call nor be read.
    const int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (raw < 0) return std::unexpected(Error::os(errno));
    const util::Fd fd(raw);

    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(Error::os(errno));
    if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(KEY_FILE_SIZE))
      return std::unexpected(Error::invalid_input("KOV key file must be a regular 72-byte file"));
    // Owner bits are not examined: 0400 is as good as 0600.
    if ((info.st_mode & 077) != 0)
      return std::unexpected(
          Error::invalid_input("KOV key file permissions are too broad; use mode 0600"));

    KeyFileImage image;
    KOV_TRY(read_all(fd.get(), image));
    if (!std::equal(KEY_FILE_MAGIC.begin(), KEY_FILE_MAGIC.end(), image.data()))
      return std::unexpected(Error::invalid_input("invalid KOV key file"));
    const format::Digest sum =
        format::digest(std::span<const std::uint8_t>(image.data(), CHECKED_SIZE));
    if (!std::equal(sum.begin(), sum.end(), image.data() + CHECKED_SIZE))
      return std::unexpected(Error::invalid_input("KOV key file checksum mismatch"));
    return EncryptionCredential::key_file_secret(
        util::SecretBytes(std::span<const std::uint8_t>(image.data() + MAGIC_SIZE, KEY_SIZE)));
  });
}

Result<void> generate_key_file(const std::filesystem::path& path) {
  return util::guarded([&]() -> Result<void> {
    util::SecretArray<KEY_SIZE> secret;
    KOV_TRY(util::random_bytes(secret.mutable_span()));

    KeyFileImage image;
    std::uint8_t* at = std::copy(KEY_FILE_MAGIC.begin(), KEY_FILE_MAGIC.end(), image.data());
    at = std::copy(secret.data(), secret.data() + KEY_SIZE, at);
    const format::Digest sum =
        format::digest(std::span<const std::uint8_t>(image.data(), CHECKED_SIZE));
    std::copy(sum.begin(), sum.end(), at);
    return util::create_new_file(path, image.span());
  });
}

}  // namespace kov_core::crypto
