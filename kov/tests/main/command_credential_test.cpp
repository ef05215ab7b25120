#include "main/command_credential.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/archive_bytes.hpp"

namespace {

TEST(Credential, PasswordFileLosesTrailingLineEndsOnly) {
  const kov_test::TempDir dir;
  kov_test::write_file(dir / "password", kov_test::text_bytes(" pass\nword12 \r\n\r\n"));
  auto credential = kov::credential(dir / "password", std::nullopt);
  ASSERT_TRUE(credential) << credential.error().display();
  EXPECT_EQ(credential->mode(), kov_core::crypto::EncryptionMode::Password);
  const auto bytes = credential->bytes();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), " pass\nword12 ");

  auto missing = kov::credential(std::filesystem::path("/nonexistent/pw"), std::nullopt);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(kov::credential(std::nullopt, std::nullopt)->mode(),
            kov_core::crypto::EncryptionMode::None);
}

}  // namespace
