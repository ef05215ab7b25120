// Time of the link check on crafted archives that would be quadratic if a
// path were hashed by its whole prefix or a link walked again for every link
// that follows it.
// Usage: kov_link_check_bench [SCALE]  (SCALE 1 is the full size)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "kov_core/archive.hpp"
#include "support/archive_bytes.hpp"

namespace {

using namespace kov_core;
using kov_test::Item;
namespace fs = std::filesystem;

Item link(std::string path, const std::string& target) {
  Item item;
  item.path = std::move(path);
  item.kind_code = 4;
  item.mode = 0777;
  item.stored = item.content = kov_test::Bytes(target.begin(), target.end());
  return item;
}

std::string repeat(std::string_view part, std::size_t times) {
  std::string out;
  out.reserve(part.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += part;
  return out;
}

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

double seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `prepare` readies the destination; without it nothing is extracted.
void run(const char* name, const fs::path& dir, const std::vector<Item>& items,
         const char* expected, const std::function<void(const fs::path&)>& prepare) {
  const fs::path file = dir / "bench.kov";
  kov_test::write_file(file, kov_test::valid_archive({0, 3, 0}, items));
  auto archive = archive::Archive::open(file);
  if (!archive) {
    std::printf("%s: open failed: %s\n", name, archive.error().display().c_str());
    return;
  }
  std::string tested = "OK";
  const double test_time = seconds([&] {
    if (auto result = archive->test(); !result) tested = result.error().display();
  });
  const fs::path out = dir / "out";
  std::string extracted = "not run";
  double extract_time = 0;
  if (prepare) {
    fs::create_directories(out);
    prepare(out);
    extracted = "OK";
    extract_time = seconds([&] {
      if (auto result = archive->extract(out, {}, false); !result)
        extracted = result.error().display();
    });
  }
  std::printf("%s: %zu entries; test %.3f s (%s), extract %.3f s (%s), peak %ld MiB%s\n", name,
              items.size(), test_time, tested.c_str(), extract_time, extracted.c_str(),
              peak_rss_mib(), tested == expected ? "" : "  UNEXPECTED");
  std::error_code ignored;
  fs::remove_all(out, ignored);
  fs::remove(file, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  const double scale = argc > 1 ? std::strtod(argv[1], nullptr) : 1.0;
  const auto scaled = [&](std::size_t n) {
    return static_cast<std::size_t>(static_cast<double>(n) * scale);
  };
  kov_test::TempDir dir;

  const auto nothing = [](const fs::path&) {};
  // A link 250,000 directories deep whose target climbs back, and a target
  // walking down to it through the archive's paths (tested only: making such
  // deep directories is another matter).
  const std::size_t depth = scaled(250'000);
  run("deep paths", dir.path(),
      {link(repeat("a/", depth) + "l", repeat("../", depth) + "z"),
       link("t", repeat("a/", depth) + "l/x")},
      "OK", {});

  // One target of 524,287 components, followed by 100,000 other links.
  std::vector<Item> fan{link("big", repeat("b/", scaled(524'287)) + "b")};
  for (std::size_t i = 0; i < scaled(100'000); ++i)
    fan.push_back(link("f/l" + std::to_string(i), "../big/x"));
  run("one long target, many followers", dir.path(), fan, "OK", {});  // no such target can be made

  // A chain of 100,000 links: the first one needs far more than 40.
  std::vector<Item> chain;
  const std::size_t links = scaled(100'000);
  for (std::size_t i = 0; i < links; ++i)
    chain.push_back(
        link("c" + std::to_string(i), i + 1 == links ? "end" : "c" + std::to_string(i + 1)));
  run("a chain of 100,000 links", dir.path(), chain,
      "corrupt archive: unsafe symbolic link c0: target escapes the archive root", nothing);

  // 10,000 links through a link at the bottom of 200 directories of the destination.
  const std::string deep_dir = repeat("p/", 200);
  std::vector<Item> through;
  for (std::size_t i = 0; i < scaled(10'000); ++i)
    through.push_back(link("l" + std::to_string(i), deep_dir + "q/y"));
  run("through the destination", dir.path(), through, "OK", [&](const fs::path& out) {
    fs::create_directories(out / deep_dir);
    fs::create_directory_symlink("../x", out / deep_dir / "q");
  });
  return 0;
}
