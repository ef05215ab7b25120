#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kov_core/crypto.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using kov_test::read_file;

namespace fs = std::filesystem;
using kov_core::ErrorKind;
using kov_core::crypto::EncryptionMode;
using kov_core::crypto::generate_key_file;
using kov_core::crypto::read_key_file;
using kov_test::Bytes;
using kov_test::TempDir;

constexpr const char* SIZE_ERROR = "invalid input: KOV key file must be a regular 72-byte file";
constexpr const char* MODE_ERROR =
    "invalid input: KOV key file permissions are too broad; use mode 0600";

Bytes test_secret() {
  Bytes secret(32);
  for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<std::uint8_t>(0x90 + i);
  return secret;
}

// A key file image laid out by hand, its checksum from libsodium's SHA-256.
Bytes key_image(const Bytes& secret) {
  const Bytes magic = {'K', 'O', 'V', 'K', 'E', 'Y', '1', 0};
  Bytes image(72);
  std::copy(magic.begin(), magic.end(), image.begin());
  std::copy(secret.begin(), secret.end(), image.begin() + 8);
  crypto_hash_sha256(image.data() + 40, image.data(), 40);
  return image;
}

fs::path put_file(const TempDir& dir, const char* name, const Bytes& bytes, mode_t mode) {
  const fs::path path = dir / name;
  kov_test::write_file(path, bytes);
  EXPECT_EQ(::chmod(path.c_str(), mode), 0);
  return path;
}

mode_t mode_of(const fs::path& path) {
  struct stat info{};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

// Sets the umask for one test and puts the old one back.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(ReadKeyFile, ReadsTheSecretWhateverTheOwnerBits) {
  const TempDir dir;
  for (const mode_t mode : {mode_t{0400}, mode_t{0600}, mode_t{0700}}) {
    SCOPED_TRACE(mode);
    const fs::path path =
        put_file(dir, ("k" + std::to_string(mode)).c_str(), key_image(test_secret()), mode);
    auto credential = read_key_file(path);
    ASSERT_TRUE(credential.has_value()) << credential.error().display();
    EXPECT_EQ(credential->mode(), EncryptionMode::KeyFile);
    EXPECT_EQ(Bytes(credential->bytes().begin(), credential->bytes().end()), test_secret());
  }
}

TEST(ReadKeyFile, ChecksRunInOrder) {
  const TempDir dir;
  const Bytes good = key_image(test_secret());
  const Bytes short_image(good.begin(), good.end() - 1);
  Bytes long_image = good;
  long_image.push_back(0);
  Bytes bad_magic = good;  // the checksum no longer matches either: the magic is reported
  bad_magic[7] = 1;
  Bytes altered_secret = good;
  altered_secret[20] ^= 0x01;

  const fs::path valid = put_file(dir, "valid", good, 0600);
  const fs::path link = dir / "link";
  fs::create_symlink(valid, link);
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path subdir = dir / "subdir";
  fs::create_directory(subdir);
  ::chmod(subdir.c_str(), 0700);

  struct Case {
    const char* name;
    fs::path path;
    ErrorKind kind;
    std::string text;
  };
  const Case cases[] = {
      {"missing", dir / "missing", ErrorKind::Io,
       "I/O error: No such file or directory (os error 2)"},
      {"symlink to a valid key file", link, ErrorKind::Io,
       "I/O error: Too many levels of symbolic links (os error 40)"},
      {"71 bytes", put_file(dir, "short", short_image, 0600), ErrorKind::InvalidInput, SIZE_ERROR},
      {"73 bytes", put_file(dir, "long", long_image, 0600), ErrorKind::InvalidInput, SIZE_ERROR},
      {"directory", subdir, ErrorKind::InvalidInput, SIZE_ERROR},
      // Opened without blocking, so no writer is waited for.
      {"named pipe", fifo, ErrorKind::InvalidInput, SIZE_ERROR},
      {"size before permissions", put_file(dir, "short_open", short_image, 0644),
       ErrorKind::InvalidInput, SIZE_ERROR},
      {"group readable", put_file(dir, "group", good, 0640), ErrorKind::InvalidInput, MODE_ERROR},
      {"other writable", put_file(dir, "other", good, 0602), ErrorKind::InvalidInput, MODE_ERROR},
      {"permissions before contents", put_file(dir, "open_bad_magic", bad_magic, 0644),
       ErrorKind::InvalidInput, MODE_ERROR},
      {"magic byte 7", put_file(dir, "bad_magic", bad_magic, 0600), ErrorKind::InvalidInput,
       "invalid input: invalid KOV key file"},
      {"altered secret", put_file(dir, "altered", altered_secret, 0600), ErrorKind::InvalidInput,
       "invalid input: KOV key file checksum mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_KOV_ERROR(read_key_file(c.path), c.kind, c.text);
  }
}

TEST(GenerateKeyFile, WritesAPrivateKeyFileThatReadsBack) {
  const ScopedUmask umask(022);
  const TempDir dir;
  const fs::path first = dir / "first.kovkey";
  const fs::path second = dir / "second.kovkey";
  ASSERT_TRUE(generate_key_file(first).has_value());
  ASSERT_TRUE(generate_key_file(second).has_value());

  EXPECT_EQ(mode_of(first), mode_t{0600});
  const Bytes image = read_file(first);
  ASSERT_EQ(image.size(), 72u);
  const Bytes secret(image.begin() + 8, image.begin() + 40);
  EXPECT_EQ(image, key_image(secret));

  auto credential = read_key_file(first);
  ASSERT_TRUE(credential.has_value()) << credential.error().display();
  EXPECT_EQ(Bytes(credential->bytes().begin(), credential->bytes().end()), secret);

  const Bytes other = read_file(second);
  ASSERT_EQ(other.size(), 72u);
  EXPECT_NE(Bytes(other.begin() + 8, other.begin() + 40), secret);
}

TEST(GenerateKeyFile, BareNameLandsInTheWorkingDirectory) {
  const TempDir dir;
  std::error_code ec;
  const fs::path previous = fs::current_path(ec);
  ASSERT_FALSE(ec);
  fs::current_path(dir.path(), ec);
  ASSERT_FALSE(ec);
  const auto generated = generate_key_file("bare.kovkey");
  fs::current_path(previous, ec);
  ASSERT_TRUE(generated.has_value()) << generated.error().display();
  EXPECT_TRUE(read_key_file(dir / "bare.kovkey").has_value());
}

TEST(GenerateKeyFile, NeverReplacesAnything) {
  const TempDir dir;
  const Bytes kept = {'k', 'e', 'e', 'p'};
  const fs::path file = put_file(dir, "existing", kept, 0600);
  const fs::path dangling = dir / "dangling";
  fs::create_symlink(dir / "target", dangling);
  const fs::path subdir = dir / "subdir";
  fs::create_directory(subdir);

  for (const fs::path& path : {file, dangling, subdir}) {
    SCOPED_TRACE(path.filename().string());
    EXPECT_KOV_ERROR(generate_key_file(path), ErrorKind::Io,
                     "I/O error: File exists (os error 17)");
  }
  EXPECT_EQ(read_file(file), kept);
  EXPECT_FALSE(fs::exists(dir / "target"));
  EXPECT_TRUE(fs::is_empty(subdir));
}

TEST(GenerateKeyFile, MissingDirectoryIsAnOsError) {
  const TempDir dir;
  EXPECT_KOV_ERROR(generate_key_file(dir / "missing" / "k.kovkey"), ErrorKind::Io,
                   "I/O error: No such file or directory (os error 2)");
}

}  // namespace
