#include "main/output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using kov_core::archive::ArchiveSettings;
using kov_core::archive::CompressionProfile;
using kov_core::archive::Entry;
using kov_core::archive::EntryKind;
using kov_core::crypto::EncryptionMode;

// Points standard output at a pipe whose reader is gone.
void break_stdout() {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  ::close(fds[0]);
  ::dup2(fds[1], STDOUT_FILENO);
}

TEST(OutputDeathTest, FailedResultLineExitsWith101) {
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EXIT((break_stdout(), kov::write_stdout("created a.kov\n")),
              ::testing::ExitedWithCode(101),
              "^kov: failed printing to stdout: Broken pipe \\(os error 32\\)\n$");
}

TEST(Output, DisplayPathReplacesInvalidUtf8) {
  EXPECT_EQ(kov::display_path("photos/\xff.jpg"), "photos/\xEF\xBF\xBD.jpg");
}

TEST(Output, EscapeControlsMakesEveryControlVisible) {
  struct Case {
    const char* name;
    std::string text;
    std::string escaped;
  };
  const Case cases[] = {
      {"plain", "dir/caf\u00E9 \u2192 x.txt", "dir/caf\u00E9 \u2192 x.txt"},
      {"empty", "", ""},
      {"title sequence",
       "a\x1b]0;PWNED\x07"
       "b",
       "a\\x1b]0;PWNED\\x07b"},
      {"C0 ends and DEL", std::string("\0\x01\t\n\x1f\x7f", 6), "\\x00\\x01\\x09\\x0a\\x1f\\x7f"},
      {"C1 ends", "\u0080\u009b\u009f", "\\u{80}\\u{9b}\\u{9f}"},
      {"bidirectional marks", "\u202a\u202e\u2066\u2069", "\\u{202a}\\u{202e}\\u{2066}\\u{2069}"},
      {"neighbours kept", "\u00a0\u2029\u202f\u2065\u206a\u200f",
       "\u00a0\u2029\u202f\u2065\u206a\u200f"},
      {"backslash doubled", "a\\b\\\\x1b", "a\\\\b\\\\\\\\x1b"},
      // A raw C1 byte is no character: it becomes U+FFFD first, like any invalid sequence.
      {"invalid UTF-8", "x\x9b\xff\xe2\x80", "x\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kov::escape_controls(c.text), c.escaped);
  }
}

Entry entry(std::string path, EntryKind kind, std::uint64_t original, std::uint64_t stored) {
  Entry e;
  e.path = std::move(path);
  e.kind = kind;
  e.original_size = original;
  e.stored_size = stored;
  return e;
}

TEST(Output, ShownPathsAndRowsEscapeOnlyWhenAsked) {
  const std::string name = "d/\x1b[2J\u202e\xff";
  EXPECT_EQ(kov::display_path(name, kov::Shown::Raw), "d/\x1b[2J\u202e\uFFFD");
  EXPECT_EQ(kov::display_path(name, kov::Shown::Escaped), "d/\\x1b[2J\\u{202e}\uFFFD");
  EXPECT_EQ(kov::shown_text("a\x1b\xff", kov::Shown::Raw), "a\x1b\xff");
  EXPECT_EQ(kov::test_result_text("\x1b.kov", kov::Shown::Escaped), "OK: \\x1b.kov\n");
  EXPECT_EQ(kov::listing_row(entry("a\x07", EntryKind::File, 1, 1), kov::Shown::Escaped),
            "           1            1 file  a\\x07\n");
}

// A quotation mark, a reverse solidus, a tab and U+0001, then non-ASCII letters.
const std::string AWKWARD_PATH =
    "dir/a\"b\\c\td\x01"
    "\u00E9t\u00E9";

TEST(Listing, TextColumnsAndRawPaths) {
  EXPECT_EQ(kov::listing_header(), "        SIZE       STORED TYPE  PATH\n");
  struct Case {
    Entry entry;
    std::string row;
  };
  const Case cases[] = {
      {entry("a.txt", EntryKind::File, 1234, 56), "        1234           56 file  a.txt\n"},
      {entry("d", EntryKind::Directory, 0, 0), "           0            0 dir   d\n"},
      {entry("f/rsrc", EntryKind::ResourceFork, 1, 1), "           1            1 rsrc  f/rsrc\n"},
      {entry("l", EntryKind::Symlink, 5, 5), "           5            5 link  l\n"},
      // A wider number widens its own row only.
      {entry("big", EntryKind::File, 1234567890123, UINT64_MAX),
       "1234567890123 18446744073709551615 file  big\n"},
      {entry(AWKWARD_PATH, EntryKind::File, 0, 0),
       "           0            0 file  " + AWKWARD_PATH + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry.path);
    EXPECT_EQ(kov::listing_row(c.entry, kov::Shown::Raw), c.row);
  }
}

TEST(Listing, JsonMembersInOrderWithEscapes) {
  EXPECT_EQ(kov::listing_json({}), "[]\n");
  Entry file = entry(AWKWARD_PATH, EntryKind::File, UINT64_MAX, 7);
  file.codec = "zstd";
  file.compression_level = -3;
  file.encrypted = true;
  file.mode = 0644;
  file.modified_unix = -86400;
  file.data_offset = 64;
  file.sha256_bytes.fill(0xaa);
  Entry link = entry("l", EntryKind::Symlink, 1, 1);
  link.adaptively_stored = true;
  link.compression_level = 19;
  link.sha256_bytes.fill(0);
  const Entry entries[] = {file, link};
  EXPECT_EQ(kov::listing_json(entries),
            "[\n"
            "  {\n"
            "    \"path\": \"dir/a\\\"b\\\\c\\td\\u0001\u00E9t\u00E9\",\n"
            "    \"kind\": \"file\",\n"
            "    \"codec\": \"zstd\",\n"
            "    \"compression_level\": -3,\n"
            "    \"adaptively_stored\": false,\n"
            "    \"encrypted\": true,\n"
            "    \"mode\": 420,\n"
            "    \"modified_unix\": -86400,\n"
            "    \"original_size\": 18446744073709551615,\n"
            "    \"stored_size\": 7,\n"
            "    \"data_offset\": 64,\n"
            "    \"sha256\": \"" +
                std::string(64, 'a') +
                "\"\n"
                "  },\n"
                "  {\n"
                "    \"path\": \"l\",\n"
                "    \"kind\": \"symlink\",\n"
                "    \"codec\": \"store\",\n"
                "    \"compression_level\": 19,\n"
                "    \"adaptively_stored\": true,\n"
                "    \"encrypted\": false,\n"
                "    \"mode\": 0,\n"
                "    \"modified_unix\": 0,\n"
                "    \"original_size\": 1,\n"
                "    \"stored_size\": 1,\n"
                "    \"data_offset\": 0,\n"
                "    \"sha256\": \"" +
                std::string(64, '0') +
                "\"\n"
                "  }\n"
                "]\n");
  const Entry others[] = {entry("d", EntryKind::Directory, 0, 0),
                          entry("r", EntryKind::ResourceFork, 0, 0)};
  const std::string text = kov::listing_json(others);
  EXPECT_NE(text.find("\"kind\": \"directory\""), std::string::npos);
  EXPECT_NE(text.find("\"kind\": \"resourcefork\""), std::string::npos);
}

// Collects what the listing writes to standard output, one string per write:
// a sequenced-packet socket keeps the boundaries of every write.
std::vector<std::string> writes_of_listing(std::span<const Entry> entries, bool json) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  kov::print_listing(entries, json);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  std::vector<std::string> writes;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fds[0], buffer, sizeof buffer, 0)) > 0;)
    writes.emplace_back(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  return writes;
}

TEST(Listing, TextIsWrittenLineByLineJsonInOneWrite) {
  const Entry entries[] = {entry("a", EntryKind::File, 1, 1),
                           entry("b", EntryKind::Directory, 0, 0)};
  EXPECT_EQ(writes_of_listing(entries, false),
            (std::vector<std::string>{kov::listing_header(),
                                      kov::listing_row(entries[0], kov::Shown::Raw),
                                      kov::listing_row(entries[1], kov::Shown::Raw)}));
  EXPECT_EQ(writes_of_listing({}, false), std::vector<std::string>{kov::listing_header()});
  EXPECT_EQ(writes_of_listing(entries, true), std::vector<std::string>{kov::listing_json(entries)});
}

kov::Description description(std::span<const Entry> entries) {
  kov::Description d;
  d.format_version = "0.5.0";
  d.archive_id = "00112233445566778899aabbccddeeff";
  d.entries = entries;
  return d;
}

TEST(Description, TextTotalsNeverWrap) {
  EXPECT_EQ(kov::description_text(description({})),
            "KOV Format 0.5.0\nArchive ID: 00112233445566778899aabbccddeeff\nEntries: 0\n"
            "Original bytes: 0\nStored bytes: 0\n");
  const Entry at_limit[] = {entry("a", EntryKind::File, UINT64_MAX - 1, 0),
                            entry("b", EntryKind::File, 1, 2)};
  EXPECT_EQ(kov::description_text(description(at_limit)),
            "KOV Format 0.5.0\nArchive ID: 00112233445566778899aabbccddeeff\nEntries: 2\n"
            "Original bytes: 18446744073709551615\nStored bytes: 2\n");
  const Entry beyond[] = {entry("a", EntryKind::File, UINT64_MAX, UINT64_MAX),
                          entry("b", EntryKind::File, 1, 0),
                          entry("c", EntryKind::File, UINT64_MAX, UINT64_MAX)};
  EXPECT_EQ(kov::description_text(description(beyond)),
            "KOV Format 0.5.0\nArchive ID: 00112233445566778899aabbccddeeff\nEntries: 3\n"
            "Original bytes: 36893488147419103231\nStored bytes: 36893488147419103230\n");
}

TEST(Description, JsonSortedNestedAndWideTotals) {
  const Entry entries[] = {entry("a", EntryKind::File, UINT64_MAX, 3),
                           entry("b", EntryKind::Directory, 0, 0),
                           entry("c", EntryKind::File, 1, 4)};
  kov::Description d = description(entries);
  d.created_unix = -1;
  ArchiveSettings& s = d.settings;
  s.profile = CompressionProfile::Balanced;
  s.compression_level = -7;
  s.adaptive_selection = true;
  s.memory_limit_mib = UINT32_MAX;
  s.available_memory_mib = 4096;
  s.thread_limit = 65535;
  s.store_threshold_permille = 980;
  s.sample_size = 131072;
  s.io_buffer_size = 1048576;
  s.encryption = EncryptionMode::KeyFile;
  s.kdf_memory_kib = 65536;
  s.kdf_iterations = 3;
  s.kdf_lanes = 4;
  s.encryption_chunk_size = 65536;
  s.salt.fill(1);
  EXPECT_EQ(kov::description_json(d),
            "{\n"
            "  \"archive_id\": \"00112233445566778899aabbccddeeff\",\n"
            "  \"created_unix\": -1,\n"
            "  \"entries\": 3,\n"
            "  \"format\": \"KOV\",\n"
            "  \"original_bytes\": 18446744073709551616,\n"
            "  \"settings\": {\n"
            "    \"adaptive_selection\": true,\n"
            "    \"available_memory_mib\": 4096,\n"
            "    \"compression_level\": -7,\n"
            "    \"constrained_at_creation\": false,\n"
            "    \"encryption\": \"keyfile\",\n"
            "    \"encryption_chunk_size\": 65536,\n"
            "    \"io_buffer_size\": 1048576,\n"
            "    \"kdf_iterations\": 3,\n"
            "    \"kdf_lanes\": 4,\n"
            "    \"kdf_memory_kib\": 65536,\n"
            "    \"memory_limit_mib\": 4294967295,\n"
            "    \"profile\": \"balanced\",\n"
            "    \"sample_size\": 131072,\n"
            "    \"store_threshold_permille\": 980,\n"
            "    \"thread_limit\": 65535\n"
            "  },\n"
            "  \"stored_bytes\": 7,\n"
            "  \"version\": \"0.5.0\"\n"
            "}\n");
  // Both totals beyond 64 bits; the other members are untouched.
  const Entry wide[] = {entry("a", EntryKind::File, UINT64_MAX, UINT64_MAX),
                        entry("b", EntryKind::File, 2, 1)};
  const std::string text = kov::description_json(description(wide));
  EXPECT_NE(text.find("\n  \"original_bytes\": 18446744073709551617,\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\n  \"stored_bytes\": 18446744073709551616,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n    \"encryption\": \"none\",\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n    \"profile\": \"current\",\n"), std::string::npos) << text;
}

TEST(ResultLines, CreatedAndExtractedShowTheirPaths) {
  EXPECT_EQ(kov::created_text("dir/a.kov", kov::Shown::Raw), "created dir/a.kov\n");
  EXPECT_EQ(kov::created_text("\x1b\xff.kov", kov::Shown::Escaped), "created \\x1b\uFFFD.kov\n");
  EXPECT_EQ(kov::extracted_text(0, ".", kov::Shown::Raw), "extracted 0 file(s) to .\n");
  EXPECT_EQ(kov::extracted_text(18446744073709551615u, "d\x07", kov::Shown::Escaped),
            "extracted 18446744073709551615 file(s) to d\\x07\n");
  EXPECT_EQ(kov::extracted_text(2, "d\x07", kov::Shown::Raw), "extracted 2 file(s) to d\x07\n");
}

TEST(TestResult, TextAndCompactJson) {
  EXPECT_EQ(kov::test_result_text("dir/a.kov", kov::Shown::Raw), "OK: dir/a.kov\n");
  const std::string compact = kov::test_result_json("abcde");
  EXPECT_EQ(compact, "{\"archive\":\"abcde\",\"ok\":true}\n");
  EXPECT_EQ(compact.size(), 29u + 1);
  EXPECT_EQ(kov::test_result_json("a\"\\\n.kov"),
            "{\"archive\":\"a\\\"\\\\\\n.kov\",\"ok\":true}\n");
  // Bytes that are not UTF-8 become U+FFFD in both forms, one per maximal invalid subpart.
  EXPECT_EQ(kov::test_result_text("x\xff\xe2\x82.kov", kov::Shown::Raw), "OK: x\uFFFD\uFFFD.kov\n");
  EXPECT_EQ(kov::test_result_json("x\xff\xe2\x82.kov"),
            "{\"archive\":\"x\uFFFD\uFFFD.kov\",\"ok\":true}\n");
}

}  // namespace
