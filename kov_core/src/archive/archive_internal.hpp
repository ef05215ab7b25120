#pragma once
// Shared by the archive sources only.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "kov_core/archive.hpp"
#include "kov_core/error.hpp"
#include "util/fd.hpp"

namespace kov_core::archive {

// The checks of validate_stored_path without building the file-system path:
// index decoding runs them for every entry.
[[nodiscard]] Result<void> check_stored_path(std::string_view stored);

// create_into, telling whether it created the file (so that a failure removes
// only a file of its own) and handing back the finished file, still open.
[[nodiscard]] Result<util::Fd> create_into_file(const std::filesystem::path& path, std::span<const SourceEntry> sources,
                                            const crypto::EncryptionCredential& credential,
                                            ArchiveSettings& settings, format::Version version, bool& created);

// The settings of a new archive from the available memory (MiB, 0 when
// unknown) and the credential's mode; salt and nonce prefix are left zero.
[[nodiscard]] ArchiveSettings new_archive_settings(std::uint32_t available_mib, crypto::EncryptionMode mode);

// The output with ".partial" added after its extension ("kov" when it has none
// or one that is not UTF-8), in the output's directory.
[[nodiscard]] std::filesystem::path temporary_name(const std::filesystem::path& output);

// A node at the output name, identified without following links.
struct OutputNode {
  dev_t device;
  ino_t inode;
};

// Renames without ever replacing `to`, also when it appeared while the archive
// was written, except `replaceable`: the symbolic link found there by the
// output check. A failure is Io and leaves `from` in place.
[[nodiscard]] Result<void> move_into_place(const std::filesystem::path& from, const std::filesystem::path& to,
                                           std::optional<OutputNode> replaceable = std::nullopt);

// Password derivation of a new archive needs 32 MiB; unknown memory (0) passes.
[[nodiscard]] Result<void> check_password_memory(crypto::EncryptionMode mode, std::uint32_t available_mib);

// kov never writes an archive its own reader would refuse.
[[nodiscard]] Result<void> check_reader_limits(std::uint64_t entries, std::uint64_t longest_path,
                                               std::uint64_t index_bytes);

}  // namespace kov_core::archive
