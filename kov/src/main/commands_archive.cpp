#include "main/commands_archive.hpp"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "cli_progress/progress_display.hpp"
#include "kov_core/archive.hpp"
#include "main/command_credential.hpp"
#include "main/output.hpp"

namespace kov {

namespace {

using kov_core::Result;
using kov_core::archive::Archive;

// Opens with the command's credential, which is released (wiped) on return:
// list and info need no key once the index is open.
Result<Archive> open_query(const ArchiveQuery& query) {
  auto secret = credential(query.password_file, query.key_file);
  if (!secret) return std::unexpected(std::move(secret).error());
  return Archive::open_with_credential(query.archive, *secret);
}

}  // namespace

Result<void> run_list(const List& list) {
  auto archive = open_query(list);
  if (!archive) return std::unexpected(std::move(archive).error());
  print_listing(archive->entries(), list.json);
  return {};
}

Result<void> run_info(const Info& info) {
  auto archive = open_query(info);
  if (!archive) return std::unexpected(std::move(archive).error());
  const Description description = describe(*archive);
  write_stdout(info.json ? description_json(description) : description_text(description));
  return {};
}

Result<void> run_test(const Test& test) {
  auto secret = credential(test.password_file, test.key_file);
  if (!secret) return std::unexpected(std::move(secret).error());
  auto archive = Archive::open_with_credential(test.archive, *secret);
  if (!archive) return std::unexpected(std::move(archive).error());
  KOV_TRY(archive->test());
  write_stdout(test.json ? test_result_json(test.archive)
                         : test_result_text(test.archive, shown_on(STDOUT_FILENO)));
  return {};
}

Result<void> run_extract(const Extract& extract, const RunContext& context) {
  auto secret = credential(extract.password_file, extract.key_file);
  if (!secret) return std::unexpected(std::move(secret).error());
  // Opening runs inside the work, so the display shows its preparing line
  // while the key is derived.
  auto count = cli_progress::run(
      context.progress, context.language, cli_progress::ProgressOperation::Extract,
      [&]() -> Result<std::uint64_t> {
        auto archive = Archive::open_with_credential(extract.archive, *secret);
        if (!archive) return std::unexpected(std::move(archive).error());
        return archive->extract(extract.destination, extract.entry, extract.overwrite);
      });
  if (!count) return std::unexpected(std::move(count).error());
  write_stdout(extracted_text(*count, extract.destination, shown_on(STDOUT_FILENO)));
  return {};
}

}  // namespace kov
