// Writes the seed inputs of the fuzz harnesses from the test builder: headers
// of every version, settings records of every encryption mode, indexes of
// every generation with each kind of entry, and whole archives to open, test
// and extract, once or twice into one destination. Usage: make_seeds CORPUS_DIR.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "support/archive_bytes.hpp"

namespace {

using kov_test::Bytes;
using kov_test::text_bytes;
namespace fs = std::filesystem;

// The first byte of an extraction seed: every repair of the archive harness
// and of the entries, and the harness's own bits for a second run, a keyed
// frame and overwriting.
constexpr std::uint8_t REPAIR_ALL = 0x1F;
constexpr std::uint8_t EXTRACT_SECOND_RUN = 0x20;
constexpr std::uint8_t EXTRACT_OVERWRITE = 0x40;
constexpr std::uint8_t EXTRACT_KEYED_FRAME = 0x80;
constexpr int DEEP_LEVELS = 200;

void put(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  kov_test::write_file(dir / name, bytes);
}

Bytes prefixed(std::uint8_t control, std::uint64_t offset, const Bytes& index) {
  Bytes out{control};
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
  out.insert(out.end(), index.begin(), index.end());
  return out;
}

// An extraction seed of two runs into one destination: `first`, then `second`
// (empty: `first` again), each with its control byte and the entries it picks
// (none: all).
Bytes two_runs(const Bytes& first, const Bytes& second, std::uint8_t first_picks = 0,
               std::uint8_t second_picks = 0, std::uint8_t first_control = REPAIR_ALL,
               std::uint8_t second_control = REPAIR_ALL) {
  Bytes seed{static_cast<std::uint8_t>(first_control | EXTRACT_SECOND_RUN),
             second_control,
             first_picks,
             second_picks,
             static_cast<std::uint8_t>(first.size()),
             static_cast<std::uint8_t>(first.size() >> 8)};
  seed.insert(seed.end(), first.begin(), first.end());
  seed.insert(seed.end(), second.begin(), second.end());
  return seed;
}

using kov_test::dir;
using kov_test::file;
using kov_test::link;

// Whole archives for the archive harness (repair byte first) and the clear-index
// form of encrypted ones, made with the fixed key, for the keyed harness.
void write_archive_seeds(const fs::path& root) {
  const std::vector<kov_test::Item> items{dir("d"), file("d/a.txt", "hello, kov"),
                                          link("d/l", "a.txt")};
  for (const kov_core::format::Version version :
       {kov_core::format::Version{0, 3, 0}, kov_core::format::VERSION_0_4_0,
        kov_core::format::VERSION_0_5_0}) {
    Bytes seed{0x0F};
    const Bytes file = kov_test::valid_archive(version, items);
    seed.insert(seed.end(), file.begin(), file.end());
    put(root / "archive", "builder-" + version.text(), seed);
  }

  const fs::path work = fs::temp_directory_path() / ("kov-seeds-" + std::to_string(::getpid()));
  fs::create_directories(work / "t" / "sub");
  kov_test::write_file(work / "t" / "sub" / "f.txt", text_bytes("some text, some text, some text"));
  kov_test::write_file(work / "t" / "empty", {});
  fs::create_symlink("sub/f.txt", work / "t" / "link");
  const std::vector<fs::path> inputs{work / "t"};
  auto secret = [] {
    return kov_core::crypto::EncryptionCredential::key_file_secret(
               kov_core::util::SecretBytes(Bytes(32, 0x5A)))
        .value();
  };
  Bytes sealed_frame;
  for (const bool sealed : {false, true}) {
    const fs::path out = work / (sealed ? "sealed.kov" : "tagged.kov");
    const auto version = sealed ? kov_core::format::VERSION_0_5_0 : kov_core::format::VERSION_0_4_0;
    if (!kov_core::archive::create_archive_version(out, inputs, {secret()}, version)) std::exit(1);
    const Bytes file = kov_test::read_file(out);
    const std::uint64_t offset = kov_core::format::load_u64(file.data() + 48);
    const std::uint64_t length = kov_core::format::load_u64(file.data() + 56);
    Bytes seed{static_cast<std::uint8_t>(sealed ? 1 : 0)};
    seed.insert(seed.end(), file.begin(), file.begin() + 64);
    const auto data_length = static_cast<std::uint32_t>(offset - 64);
    for (int i = 0; i < 4; ++i) seed.push_back(static_cast<std::uint8_t>(data_length >> (8 * i)));
    seed.insert(seed.end(), file.begin() + 64, file.begin() + static_cast<std::ptrdiff_t>(offset));
    std::vector<std::uint8_t> index(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                    file.begin() + static_cast<std::ptrdiff_t>(offset + length));
    if (sealed) {
      // The envelope's prefix, then the index it seals, in clear.
      auto bootstrap =
          kov_core::archive::decode_settings(std::span(index).subspan(8, 96), true).value();
      auto key =
          kov_core::crypto::derive_key(secret(), bootstrap.encryption, bootstrap.salt, 0, 0, 0)
              .value();
      std::array<std::uint8_t, 64> header{};
      std::copy_n(file.begin(), 64, header.begin());
      const auto aad = kov_core::crypto::sealed_metadata_aad(header, std::span(index).first<104>());
      std::vector<std::uint8_t> plain(index.begin() + 104, index.end());
      const std::size_t n =
          kov_core::crypto::open_metadata(*key, bootstrap.nonce_prefix, aad, plain).value();
      plain.resize(n);
      index.resize(104);
      index.insert(index.end(), plain.begin(), plain.end());
    }
    seed.insert(seed.end(), index.begin(), index.end());
    put(root / "keyed", sealed ? "sealed" : "tagged", seed);
    seed[0] |= EXTRACT_KEYED_FRAME;
    put(root / "extract", sealed ? "keyed-sealed" : "keyed-tagged", seed);
    if (sealed) sealed_frame = seed;
    Bytes whole{0x00};
    whole.insert(whole.end(), file.begin(), file.end());
    put(root / "archive", sealed ? "made-sealed" : "made-tagged", whole);
    put(root / "extract", sealed ? "made-sealed" : "made-tagged", whole);
  }
  const fs::path plain = work / "plain.kov";
  if (!kov_core::archive::create_archive(plain, inputs, {})) std::exit(1);
  Bytes whole{0x00};
  const Bytes made = kov_test::read_file(plain);
  whole.insert(whole.end(), made.begin(), made.end());
  whole[0] = REPAIR_ALL;
  put(root / "extract", "made-plain", whole);
  // A keyed frame, then a plain archive: the keyed turn takes each with its own credential.
  put(root / "extract", "keyed-then-plain",
      two_runs(Bytes(sealed_frame.begin() + 1, sealed_frame.end()), made, 0, 0, sealed_frame[0]));
  fs::remove_all(work);
}

void put_extract(const fs::path& root, const std::string& name, const Bytes& file,
                 std::uint8_t control = REPAIR_ALL) {
  Bytes seed{control};
  seed.insert(seed.end(), file.begin(), file.end());
  put(root / "extract", name, seed);
}

// Two files whose stored regions share bytes, each with its own correct hash.
Bytes overlapping_archive() {
  const std::string data = "0123456789abcdef";
  kov_test::IndexLayout layout = kov_test::index_layout(
      kov_core::format::format_generation(kov_core::format::VERSION_0_5_0).value());
  std::vector<kov_core::archive::Entry> entries;
  for (const auto& [path, from, to] : {std::tuple{"one", 0, 10}, std::tuple{"two", 5, 16}}) {
    kov_test::EntryRecord record;
    record.path = path;
    record.data_offset = kov_core::format::HEADER_SIZE + static_cast<std::uint64_t>(from);
    record.original_size = record.stored_size = static_cast<std::uint64_t>(to - from);
    record.sha256 =
        kov_core::format::digest(text_bytes(std::string_view(data).substr(from, to - from)));
    layout.entries.push_back(record);
    kov_core::archive::Entry entry;
    entry.path = path;
    entry.sha256_bytes = record.sha256;
    entry.original_size = record.original_size;
    entries.push_back(entry);
  }
  Bytes out = kov_test::archive_file(kov_core::format::VERSION_0_5_0, text_bytes(data),
                                     kov_test::index_bytes(layout));
  const auto id = kov_core::archive::archive_id(0, entries);
  std::copy(id.begin(), id.end(), out.begin() + 16);
  kov_test::refresh_header_checksum(out);
  return out;
}

// Archives for the extraction harness: ordinary trees, and crafted ones whose
// links resolve outside the destination although their text stays inside, go
// through the link the harness makes before each run (out -> ../canary), or
// never resolve; a deep path; data regions that overlap; and pairs of runs
// into one destination.
void write_extract_seeds(const fs::path& root) {
  // Links through links that stay inside: a few bytes away from ones that leave.
  const std::vector<kov_test::Item> tree{dir("d"),
                                         dir("d/e"),
                                         file("d/a.txt", "hello, kov"),
                                         file("d/e/empty", ""),
                                         link("d/l", "a.txt"),
                                         link("d/e/up", "../a.txt"),
                                         link("d/e/root", "../.."),
                                         link("d/via", "e/root/d/a.txt"),
                                         link("top", "d/e")};
  for (const kov_core::format::Version version :
       {kov_core::format::Version{0, 3, 0}, kov_core::format::VERSION_0_4_0,
        kov_core::format::VERSION_0_5_0})
    put_extract(root, "tree-" + version.text(), kov_test::valid_archive(version, tree));
  const auto v = kov_core::format::VERSION_0_5_0;
  put_extract(root, "tree-overwrite",
              kov_test::valid_archive(v, {file("f", "x"), dir("g"), link("h", "f")}),
              REPAIR_ALL | EXTRACT_OVERWRITE);
  put_extract(root, "chain-escape",
              kov_test::valid_archive(v, {dir("a"), dir("a/b"), link("a/b/l", "../.."),
                                          link("esc", "a/b/l/../outside")}));
  std::string up;
  std::string deep;
  for (int i = 0; i < 12; ++i) {
    deep += std::string(1, static_cast<char>('a' + i)) + "/";
    up += i == 0 ? ".." : "/..";
  }
  put_extract(root, "chain-escape-deep",
              kov_test::valid_archive(
                  v, {link(deep + "up", up), link("passwd", deep + "up/" + up + "/etc/passwd")}));
  put_extract(root, "through-existing-link", kov_test::valid_archive(v, {link("y", "out/canary")}));
  put_extract(root, "into-existing-link", kov_test::valid_archive(v, {file("out/x", "x")}));
  put_extract(root, "over-existing-link", kov_test::valid_archive(v, {file("out", "x")}),
              REPAIR_ALL | EXTRACT_OVERWRITE);
  put_extract(root, "link-loop",
              kov_test::valid_archive(v, {link("loop1", "loop2"), link("loop2", "loop1")}));
  std::string path;
  for (int i = 0; i < DEEP_LEVELS; ++i) path += "d/";
  put_extract(root, "deep-path", kov_test::valid_archive(v, {file(path + "f", "deep")}));
  put_extract(root, "overlapping-data", overlapping_archive());

  // Two runs: the same tree again, overwriting its files (a link replaces
  // nothing); links whose ".." is taken from a link an earlier run left.
  put(root / "extract", "tree-again-overwrite",
      two_runs(kov_test::valid_archive(
                   v, {dir("d"), file("d/a.txt", "hello, kov"), file("f", "x"), link("l", "f")}),
               {}, 0, 0, REPAIR_ALL, REPAIR_ALL | EXTRACT_OVERWRITE));
  const Bytes nested_up = kov_test::valid_archive(v, {link("a/b/x", "../..")});
  const Bytes nested_escape = kov_test::valid_archive(v, {link("a/b/l", "x/../../../outside")});
  const Bytes top_dot = kov_test::valid_archive(v, {link("x", ".")});
  const Bytes top_escape = kov_test::valid_archive(v, {link("l", "x/../outside")});
  put(root / "extract", "escape-through-earlier-link", two_runs(nested_up, nested_escape));
  put(root / "extract", "escape-through-earlier-top-link", two_runs(top_dot, top_escape));
  // The same links the other way round: each run alone resolves inside or
  // dangles; once the later link exists, the earlier one leads out.
  const Bytes both_links =
      kov_test::valid_archive(v, {link("a/b/l", "x/../../../outside"), link("a/b/x", "../..")});
  put(root / "extract", "escape-through-later-link", two_runs(nested_escape, nested_up));
  put(root / "extract", "escape-through-later-selection", two_runs(both_links, {}, 0x01, 0x02));
  put(root / "extract", "escape-through-later-top-link", two_runs(top_escape, top_dot));
  // An archive whole, twice: refused as it is, a picked byte or two away from
  // leading out.
  put(root / "extract", "both-links-twice", two_runs(both_links, {}));
  put(root / "extract", "chain-escape-twice",
      two_runs(kov_test::valid_archive(v, {dir("a"), dir("a/b"), link("a/b/l", "../.."),
                                           link("esc", "a/b/l/../outside")}),
               {}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const fs::path root = argv[1];
  const kov_core::format::Version versions[] = {
      {1, 0, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}, {0, 5, 0}};

  for (std::size_t v = 0; v < std::size(versions); ++v) {
    kov_core::format::Header h;
    h.major = versions[v].major;
    h.minor = versions[v].minor;
    h.patch = versions[v].patch;
    h.profile = v >= 3 ? 0 : 0;
    h.flags = v == 4 ? 1 : 0;
    h.io_buffer_size = 1'048'576;
    h.index_offset = 64;
    h.index_length = 112;
    const auto bytes = h.encode();
    put(root / "header", "version-" + versions[v].text(), Bytes(bytes.begin(), bytes.end()));
  }

  const auto plain = kov_test::plain_settings();
  auto sealed = kov_test::key_file_settings();
  sealed.index_tag.fill(0);
  const std::pair<const char*, kov_core::archive::ArchiveSettings> settings[] = {
      {"plain", plain},
      {"key-file", kov_test::key_file_settings()},
      {"password", kov_test::password_settings()},
      {"sealed-zero-tag", sealed}};
  for (const auto& [name, s] : settings) {
    Bytes record{1};
    const Bytes body = kov_test::settings_record(s);
    record.insert(record.end(), body.begin(), body.end());
    put(root / "settings", name, record);
  }

  kov_test::EntryRecord file;
  file.path = "photos/a.jpg";
  file.codec = 1;
  file.level = 3;
  file.data_offset = 64;
  file.stored_size = 10;
  kov_test::EntryRecord dir;
  dir.kind_code = 2;
  dir.path = "photos";
  dir.original_size = dir.data_offset = dir.stored_size = 0;
  kov_test::EntryRecord link = file;
  link.kind_code = 4;
  link.codec = 0;
  link.level = 0;
  link.path = "photos/link";
  link.original_size = 5;
  link.data_offset = 84;  // entry data never overlap
  kov_test::EntryRecord fork = file;
  fork.kind_code = 3;
  fork.data_offset = 74;
  for (std::size_t v = 0; v < std::size(versions); ++v) {
    const int generation = v < 3 ? 0 : 1;
    kov_test::IndexLayout layout = kov_test::index_layout(generation);
    auto f = file;
    auto k = fork;
    if (generation == 0) f.level = k.level = 0;
    layout.entries = {dir, f, k};
    if (v != 0 && v != 1) layout.entries.push_back(link);
    put(root / "index", "version-" + versions[v].text(),
        prefixed(static_cast<std::uint8_t>(v), 1'000'000, kov_test::index_bytes(layout)));
  }
  kov_test::IndexLayout encrypted = kov_test::index_layout(1);
  encrypted.settings = kov_test::settings_record(kov_test::key_file_settings());
  auto secret = file;
  secret.flags = 2;
  encrypted.entries = {dir, secret};
  put(root / "index", "encrypted-0.4.0", prefixed(3, 1'000'000, kov_test::index_bytes(encrypted)));

  const std::pair<const char*, std::string> paths[] = {{"plain", "photos/2024/a.jpg"},
                                                       {"nfd", "cafe\xCC\x81/Notes"},
                                                       {"dotted", "./a//b/"},
                                                       {"drive", "C:/x"},
                                                       {"link", std::string("a/b/link\xFF../../x")},
                                                       {"dotdot", "a/../b"},
                                                       {"dotted-i", "\xC4\xB0stanbul"}};
  for (const auto& [name, text] : paths) put(root / "paths", name, Bytes(text.begin(), text.end()));
  write_archive_seeds(root);
  write_extract_seeds(root);
  std::puts("seeds written");
  return 0;
}
