// Single-thread rates of the encrypted entry stream (both directions) and of
// SHA-256, over 64 KiB pieces and 64 KiB chunks; best of 3 runs each.
// Usage: kov_crypto_bench [MIB]   (default 1024)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kov_core/crypto.hpp"
#include "kov_core/format.hpp"

namespace {

using namespace kov_core;

constexpr std::size_t PIECE = 64 * 1024;
constexpr std::uint32_t CHUNK_SIZE = 65'536;
constexpr int RUNS = 3;

// Folds every byte into a running check value, so that nothing written is
// skipped: a plain XOR inside a piece, mixed once per piece so that repeated
// pieces do not cancel out.
std::uint64_t fold(std::uint64_t acc, std::span<const std::uint8_t> bytes) {
  std::uint64_t x = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    x ^= word;
  }
  for (; i < bytes.size(); ++i) x ^= bytes[i];
  return (acc ^ x) * 0x9E3779B97F4A7C15u;
}

class CheckSink final : public format::ByteSink {
 public:
  Result<void> write(std::span<const std::uint8_t> bytes) override {
    acc_ = fold(acc_, bytes);
    return {};
  }
  [[nodiscard]] std::uint64_t value() const noexcept { return acc_; }

 private:
  std::uint64_t acc_ = 0;
};

class VectorSink final : public format::ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  Result<void> write(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return {};
  }

 private:
  std::vector<std::uint8_t>& out_;
};

class MemorySource final : public format::ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    const std::size_t n = std::min(out.size(), bytes_.size());
    std::memcpy(out.data(), bytes_.data(), n);
    bytes_ = bytes_.subspan(n);
    return n;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

crypto::EntryCipherContext bench_context() {
  crypto::EntryCipherContext context;
  context.path = "bench/data.bin";
  for (std::size_t i = 0; i < context.nonce_prefix.size(); ++i)
    context.nonce_prefix[i] = static_cast<std::uint8_t>(i * 11);
  context.entry_index = 1;
  context.chunk_size = CHUNK_SIZE;
  context.kind_code = 1;
  context.compressed = 1;
  return context;
}

[[noreturn]] void fail(const char* what, const Error& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.display().c_str());
  std::exit(1);
}

void encrypt(format::ByteSink& sink, const crypto::ArchiveKey& key,
             std::span<const std::uint8_t> piece, std::size_t pieces) {
  crypto::EncryptWriter writer(sink, key, bench_context());
  for (std::size_t i = 0; i < pieces; ++i)
    if (auto written = writer.write(piece); !written) fail("encrypt", written.error());
  if (auto finished = writer.finish(); !finished) fail("finish", finished.error());
}

template <class F>
double best_seconds(F&& run) {
  double best = 1e30;
  for (int i = 0; i < RUNS; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void report(const char* name, std::uint64_t bytes, double seconds, std::uint64_t check) {
  std::printf("%-28s %8.0f MB/s  (%.3f s, check %016llx)\n", name,
              static_cast<double>(bytes) / seconds / 1e6, seconds,
              static_cast<unsigned long long>(check));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::size_t pieces = mib * 1024 * 1024 / PIECE;
  const std::uint64_t total = std::uint64_t{pieces} * PIECE;

  crypto::ArchiveKey key;
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(0x5A ^ i);
  std::vector<std::uint8_t> piece(PIECE);
  std::uint32_t state = 12345;
  for (auto& byte : piece) {
    state = state * 1'103'515'245u + 12'345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  std::printf("plaintext: %zu MiB in %zu KiB pieces, chunk size %u, best of %d runs\n", mib,
              PIECE / 1024, CHUNK_SIZE, RUNS);

  std::uint64_t check = 0;
  const double encrypt_seconds = best_seconds([&] {
    CheckSink sink;
    encrypt(sink, key, piece, pieces);
    check = sink.value();
  });
  report("EncryptWriter", total, encrypt_seconds, check);

  std::vector<std::uint8_t> stream;
  stream.reserve(total + (total / CHUNK_SIZE + 1) * 20);
  {
    VectorSink sink(stream);
    encrypt(sink, key, piece, pieces);
  }
  std::vector<std::uint8_t> out(PIECE);
  std::uint64_t plaintext_bytes = 0;
  const double decrypt_seconds = best_seconds([&] {
    crypto::DecryptReader reader(std::make_unique<MemorySource>(stream), key, bench_context());
    std::uint64_t acc = 0;
    plaintext_bytes = 0;
    for (;;) {
      auto n = reader.read(out);
      if (!n) fail("decrypt", n.error());
      if (*n == 0) break;
      acc = fold(acc, std::span(out).first(*n));
      plaintext_bytes += *n;
    }
    check = acc;
  });
  if (plaintext_bytes != total) {
    std::fprintf(stderr, "decrypt: %llu bytes back, expected %llu\n",
                 static_cast<unsigned long long>(plaintext_bytes),
                 static_cast<unsigned long long>(total));
    return 1;
  }
  report("DecryptReader", total, decrypt_seconds, check);
  stream = {};

  const double sha_seconds = best_seconds([&] {
    format::Sha256 sha;
    for (std::size_t i = 0; i < pieces; ++i) sha.update(piece);
    const format::Digest digest = sha.finish();
    std::memcpy(&check, digest.data(), sizeof check);
  });
  report("SHA-256", total, sha_seconds, check);
  return 0;
}
