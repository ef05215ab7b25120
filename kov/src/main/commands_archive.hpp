#pragma once
// The commands that work on an existing archive: list, info, test, extract.

#include "kov_core/error.hpp"
#include "main/cli.hpp"
#include "main/driver.hpp"

namespace kov {

// Prints the index as a table or a JSON array.
[[nodiscard]] kov_core::Result<void> run_list(const List& list);
// Prints the format version, ID, entry count and byte totals, or the JSON description.
[[nodiscard]] kov_core::Result<void> run_info(const Info& info);
// Verifies every entry end to end, then prints the verdict.
[[nodiscard]] kov_core::Result<void> run_test(const Test& test);
// Restores the archive, or the selected entries, under the destination beside
// the progress display, then prints the count of files and links created.
[[nodiscard]] kov_core::Result<void> run_extract(const Extract& extract, const RunContext& context);

}  // namespace kov
