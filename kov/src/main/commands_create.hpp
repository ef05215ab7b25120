#pragma once
// The create command and the path helpers behind its default output name.

#include <filesystem>

#include "kov_core/error.hpp"
#include "main/cli.hpp"
#include "main/driver.hpp"

namespace kov {

// `path` made absolute without touching the file system: joined to the current
// directory, "." parts and repeated separators dropped, ".." kept.
[[nodiscard]] kov_core::Result<std::filesystem::path> absolute_lexical(
    const std::filesystem::path& path);

// The archive name of an input when no output is given: its final component
// followed by ".kov", as a relative path of one component.
[[nodiscard]] kov_core::Result<std::filesystem::path> default_output(
    const std::filesystem::path& input);

[[nodiscard]] kov_core::Result<void> run_create(const Create& create, const RunContext& context);

}  // namespace kov
