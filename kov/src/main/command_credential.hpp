#pragma once
// The credential an archive command reads from its --password-file or
// --key-file argument.

#include <filesystem>
#include <optional>

#include "kov_core/crypto.hpp"
#include "kov_core/error.hpp"

namespace kov {

// The credential of a command: a password file's contents without trailing
// CR/LF bytes, a key file, or none.
[[nodiscard]] kov_core::Result<kov_core::crypto::EncryptionCredential> credential(
    const std::optional<std::filesystem::path>& password_file,
    const std::optional<std::filesystem::path>& key_file);

}  // namespace kov
