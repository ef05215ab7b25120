#include "main/command_credential.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Credential, PasswordFileLosesTrailingLineEndsOnly) {
  char name[] = "/tmp/kov-password-XXXXXX";
  const int fd = ::mkstemp(name);
  const std::string content = " pass\nword12 \r\n\r\n";
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  auto credential = kov::credential(std::filesystem::path(name), std::nullopt);
  ::unlink(name);
  ASSERT_TRUE(credential) << credential.error().display();
  EXPECT_EQ(credential->mode(), kov_core::crypto::EncryptionMode::Password);
  const auto bytes = credential->bytes();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), " pass\nword12 ");

  auto missing = kov::credential(std::filesystem::path("/nonexistent/pw"), std::nullopt);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(kov::credential(std::nullopt, std::nullopt)->mode(), kov_core::crypto::EncryptionMode::None);
}

}  // namespace
