#include <gtest/gtest.h>
#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kov_core/crypto.hpp"
#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"
#include "support/memory_stream.hpp"
#include "util/sodium.hpp"

namespace {

using kov_test::from_hex;

using kov_core::Error;
using kov_core::ErrorKind;
using kov_core::Result;
using kov_core::crypto::ArchiveKey;
using kov_core::crypto::DecryptReader;
using kov_core::crypto::EncryptWriter;
using kov_core::crypto::EntryCipherContext;
using kov_test::SpanSource;
using kov_test::VectorSink;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* AUTH_FAILED = "I/O error: encrypted data authentication failed";
constexpr const char* BAD_LENGTH = "I/O error: invalid encrypted chunk length";
constexpr const char* CUT = "I/O error: failed to fill whole buffer";

ArchiveKey make_key(std::uint8_t first) {
  ArchiveKey key;
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

EntryCipherContext make_context(std::uint32_t chunk_size) {
  EntryCipherContext context;
  context.path = "docs/read me.txt";
  for (std::size_t i = 0; i < 16; ++i)
    context.nonce_prefix[i] = static_cast<std::uint8_t>(0xA0 + i);
  context.entry_index = 3;
  context.chunk_size = chunk_size;
  context.kind_code = 1;
  context.compressed = 1;
  return context;
}

Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
  return out;
}

// Writes `plaintext` in pieces of `piece` bytes and finishes.
Bytes encrypt(const EntryCipherContext& context, const Bytes& plaintext,
              std::size_t piece = SIZE_MAX, const ArchiveKey& key = make_key(1)) {
  VectorSink sink;
  EncryptWriter writer(sink, key, context);
  for (std::size_t at = 0; at < plaintext.size(); at += piece) {
    const std::size_t n = std::min(piece, plaintext.size() - at);
    EXPECT_TRUE(writer.write(std::span(plaintext).subspan(at, n)).has_value());
  }
  EXPECT_TRUE(writer.finish().has_value());
  return sink.bytes;
}

// Everything the reader hands out, with the sizes of its reads, up to the end or the first error.
struct ReadBack {
  Bytes bytes;
  std::vector<std::size_t> read_sizes;
  std::optional<Error> error;
};

ReadBack decrypt(const EntryCipherContext& context,
                 std::unique_ptr<kov_core::format::ByteSource> source,
                 std::size_t read_size = 100'000, const ArchiveKey& key = make_key(1)) {
  DecryptReader reader(std::move(source), key, context);
  ReadBack out;
  Bytes buffer(read_size);
  for (;;) {
    auto n = reader.read(buffer);
    if (!n) {
      out.error = std::move(n).error();
      return out;
    }
    if (*n == 0) return out;
    out.read_sizes.push_back(*n);
    out.bytes.insert(out.bytes.end(), buffer.begin(),
                     buffer.begin() + static_cast<std::ptrdiff_t>(*n));
  }
}

ReadBack decrypt(const EntryCipherContext& context, const Bytes& stream,
                 std::size_t read_size = 100'000) {
  return decrypt(context, std::make_unique<SpanSource>(stream), read_size);
}

std::vector<std::uint32_t> length_fields(const Bytes& stream) {
  std::vector<std::uint32_t> out;
  for (std::size_t at = 0; at + 4 <= stream.size(); at += 4 + out.back())
    out.push_back(kov_core::format::load_u32(stream.data() + at));
  return out;
}

void append_le32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// One chunk built straight from the documented layout, independently of EncryptWriter.
Bytes hand_chunk(const EntryCipherContext& context, std::uint32_t counter, Bytes plaintext,
                 const ArchiveKey& key = make_key(1)) {
  kov_core::util::ensure_sodium();
  const std::string magic = "KOV 0.4 data";
  Bytes ad(magic.begin(), magic.end());
  ad.push_back(0);
  ad.push_back(context.kind_code);
  ad.push_back(context.compressed);
  append_le32(ad, context.entry_index);
  append_le32(ad, counter);
  ad.insert(ad.end(), context.path.begin(), context.path.end());
  Bytes nonce(context.nonce_prefix.begin(), context.nonce_prefix.end());
  append_le32(nonce, context.entry_index);
  append_le32(nonce, counter);

  Bytes chunk;
  append_le32(chunk, static_cast<std::uint32_t>(plaintext.size() + 16));
  Bytes tag(16);
  plaintext.push_back(0);  // keeps the message pointer non-null when empty
  EXPECT_EQ(crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                plaintext.data(), tag.data(), nullptr, plaintext.data(), plaintext.size() - 1,
                ad.data(), ad.size(), nullptr, nonce.data(), key.data()),
            0);
  chunk.insert(chunk.end(), plaintext.begin(), plaintext.end() - 1);
  chunk.insert(chunk.end(), tag.begin(), tag.end());
  return chunk;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The AEAD itself, through the in-place detached calls the streams use.
TEST(XChaCha20Poly1305, DraftKnownAnswerInPlace) {
  kov_core::util::ensure_sodium();
  const Bytes key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  const Bytes nonce = from_hex("404142434445464748494a4b4c4d4e4f5051525354555657");
  const Bytes ad = from_hex("50515253c0c1c2c3c4c5c6c7");
  const std::string text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
      "sunscreen "
      "would be it.";
  const Bytes expected_ciphertext = from_hex(
      "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda"
      "7e39ae64c6708c"
      "54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff921f966"
      "4c97637da9768812"
      "f615c68b13b52e");
  const Bytes expected_tag = from_hex("c0875924c1c7987947deafd8780acf49");

  Bytes buffer(text.begin(), text.end());
  Bytes tag(16);
  ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                buffer.data(), tag.data(), nullptr, buffer.data(), buffer.size(), ad.data(),
                ad.size(), nullptr, nonce.data(), key.data()),
            0);
  EXPECT_EQ(buffer, expected_ciphertext);
  EXPECT_EQ(tag, expected_tag);
  ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                buffer.data(), nullptr, buffer.data(), buffer.size(), tag.data(), ad.data(),
                ad.size(), nonce.data(), key.data()),
            0);
  EXPECT_EQ(buffer, Bytes(text.begin(), text.end()));
}

TEST(EntryStream, AssociatedDataLayout) {
  const Bytes expected =
      concat({from_hex("4b4f5620302e3420646174610002000403020178563412"), Bytes{'a', '/', 'b'}});
  EXPECT_EQ(kov_core::crypto::aad("a/b", 2, 0, 0x01020304, 0x12345678), expected);
}

TEST(EntryStream, ChunksMatchTheLayoutBuiltByHand) {
  EntryCipherContext context = make_context(4);
  context.entry_index = 0x01020304;
  const Bytes plaintext{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(encrypt(context, plaintext),
            concat({hand_chunk(context, 0, {1, 2, 3, 4}), hand_chunk(context, 1, {5, 6})}));
  EXPECT_EQ(encrypt(context, {}), hand_chunk(context, 0, {}));
}

TEST(EntryStream, ChunkCountsAndSizes) {
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> lengths;
  };
  const std::vector<Case> cases{
      {0, {16}}, {1, {17}}, {65'536, {65'552}}, {65'537, {65'552, 17}}, {131'072, {65'552, 65'552}},
  };
  const EntryCipherContext context = make_context(65'536);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes plaintext = pattern(c.size);
    const Bytes stream = encrypt(context, plaintext);
    EXPECT_EQ(stream.size(), c.size + 20 * c.lengths.size());
    EXPECT_EQ(length_fields(stream), c.lengths);
    const ReadBack back = decrypt(context, stream);
    EXPECT_FALSE(back.error.has_value());
    EXPECT_EQ(back.bytes, plaintext);
  }
}

TEST(EntryStream, BoundariesDependOnlyOnTheTotal) {
  const EntryCipherContext context = make_context(65'536);
  const Bytes plaintext = pattern(100'000);
  const Bytes whole = encrypt(context, plaintext);
  EXPECT_EQ(encrypt(context, plaintext, 1), whole);
  EXPECT_EQ(encrypt(context, plaintext, 4'099), whole);
}

TEST(EntryStream, ReadsStayWithinOneChunk) {
  const EntryCipherContext context = make_context(64);
  const Bytes plaintext = pattern(200);
  const Bytes stream = encrypt(context, plaintext);
  for (std::size_t max_read : {SIZE_MAX, std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(max_read);
    const ReadBack back = decrypt(context, std::make_unique<SpanSource>(stream, max_read));
    EXPECT_FALSE(back.error.has_value());
    EXPECT_EQ(back.bytes, plaintext);
    EXPECT_EQ(back.read_sizes, (std::vector<std::size_t>{64, 64, 64, 8}));
  }
  const ReadBack small = decrypt(context, stream, 50);
  EXPECT_EQ(small.read_sizes, (std::vector<std::size_t>{50, 14, 50, 14, 50, 14, 8}));
}

TEST(EntryStream, EmptyChunkInsideAStreamIsSkipped) {
  const EntryCipherContext context = make_context(64);
  const Bytes stream = concat({hand_chunk(context, 0, {'a', 'b'}), hand_chunk(context, 1, {}),
                               hand_chunk(context, 2, {'c', 'd'})});
  const ReadBack back = decrypt(context, stream);
  EXPECT_FALSE(back.error.has_value());
  EXPECT_EQ(back.bytes, (Bytes{'a', 'b', 'c', 'd'}));
  EXPECT_EQ(back.read_sizes, (std::vector<std::size_t>{2, 2}));
}

TEST(EntryStream, EntryIndexChangesEveryChunk) {
  EntryCipherContext third = make_context(64);
  EntryCipherContext fourth = third;
  fourth.entry_index = 4;
  const Bytes plaintext = pattern(100);
  const Bytes a = encrypt(third, plaintext);
  const Bytes b = encrypt(fourth, plaintext);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_NE(Bytes(a.begin() + 4, a.begin() + 84), Bytes(b.begin() + 4, b.begin() + 84));
  EXPECT_NE(Bytes(a.begin() + 88, a.end()), Bytes(b.begin() + 88, b.end()));
}

TEST(EntryStream, TamperingFailsAuthentication) {
  // Chunks of 64, 64 and 22 plaintext bytes: 84, 84 and 42 bytes on disk.
  const EntryCipherContext context = make_context(64);
  const Bytes plaintext = pattern(150);
  const Bytes stream = encrypt(context, plaintext);
  ASSERT_EQ(stream.size(), 210u);
  const Bytes c0(stream.begin(), stream.begin() + 84);
  const Bytes c1(stream.begin() + 84, stream.begin() + 168);
  const Bytes c2(stream.begin() + 168, stream.end());
  EntryCipherContext other_entry = context;
  other_entry.entry_index = 4;
  const Bytes foreign = encrypt(other_entry, plaintext);

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage_stream;
    std::function<void(EntryCipherContext&)> change_context;
    std::size_t delivered;
  };
  const auto keep_stream = [](Bytes&) {};
  const auto keep_context = [](EntryCipherContext&) {};
  const std::vector<Case> cases{
      {"first two chunks swapped", [&](Bytes& s) { s = concat({c1, c0, c2}); }, keep_context, 0},
      {"last two chunks swapped", [&](Bytes& s) { s = concat({c0, c2, c1}); }, keep_context, 64},
      {"chunk repeated", [&](Bytes& s) { s = concat({c0, c0, c2}); }, keep_context, 64},
      {"first chunk dropped", [&](Bytes& s) { s = concat({c1, c2}); }, keep_context, 0},
      {"chunk of another entry",
       [&](Bytes& s) { std::copy(foreign.begin(), foreign.begin() + 84, s.begin()); }, keep_context,
       0},
      {"ciphertext byte flipped", [](Bytes& s) { s[84 + 4 + 10] ^= 0x01; }, keep_context, 64},
      {"tag byte flipped", [](Bytes& s) { s.back() ^= 0x80; }, keep_context, 128},
      {"wrong entry index", keep_stream, [](EntryCipherContext& c) { c.entry_index = 4; }, 0},
      {"wrong path", keep_stream, [](EntryCipherContext& c) { c.path = "docs/read me.txT"; }, 0},
      {"wrong kind code", keep_stream, [](EntryCipherContext& c) { c.kind_code = 4; }, 0},
      {"wrong compressed flag", keep_stream, [](EntryCipherContext& c) { c.compressed = 0; }, 0},
      {"wrong nonce prefix", keep_stream, [](EntryCipherContext& c) { c.nonce_prefix[15] ^= 1; },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = stream;
    c.damage_stream(damaged);
    EntryCipherContext reader_context = context;
    c.change_context(reader_context);
    const ReadBack back = decrypt(reader_context, damaged);
    ASSERT_TRUE(back.error.has_value());
    EXPECT_EQ(back.error->display(), AUTH_FAILED);
    EXPECT_EQ(back.bytes, Bytes(plaintext.begin(),
                                plaintext.begin() + static_cast<std::ptrdiff_t>(c.delivered)));
  }

  const ReadBack wrong_key =
      decrypt(context, std::make_unique<SpanSource>(stream), 1000, make_key(2));
  ASSERT_TRUE(wrong_key.error.has_value());
  EXPECT_EQ(wrong_key.error->display(), AUTH_FAILED);
}

TEST(EntryStream, ChunkLengthLimits) {
  // With chunk size 64, lengths 16 to 80 pass the length check and reach authentication.
  const EntryCipherContext context = make_context(64);
  struct Case {
    std::uint32_t length;
    const char* text;
  };
  const std::vector<Case> cases{
      {0, BAD_LENGTH}, {15, BAD_LENGTH}, {16, AUTH_FAILED}, {80, AUTH_FAILED}, {81, BAD_LENGTH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes stream;
    append_le32(stream, c.length);
    stream.resize(4 + c.length, 0x5A);
    DecryptReader reader(std::make_unique<SpanSource>(stream), make_key(1), context);
    Bytes out(100);
    EXPECT_KOV_ERROR(reader.read(out), ErrorKind::Io, c.text);
  }
}

TEST(EntryStream, StreamEnds) {
  // Chunks of 64 and 36 plaintext bytes: 84 and 56 bytes on disk.
  const EntryCipherContext context = make_context(64);
  const Bytes plaintext = pattern(100);
  const Bytes stream = encrypt(context, plaintext);
  ASSERT_EQ(stream.size(), 140u);
  const Error eio = Error::os(EIO);

  struct Case {
    const char* name;
    std::size_t keep;
    std::size_t extra;
    std::optional<Error> source_error;
    std::size_t delivered;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases{
      {"complete", 140, 0, std::nullopt, 100, std::nullopt},
      {"nothing stored", 0, 0, std::nullopt, 0, std::nullopt},
      {"cut after a complete chunk", 84, 0, std::nullopt, 64, std::nullopt},
      {"cut inside the length field", 86, 0, std::nullopt, 64, CUT},
      {"cut inside the chunk body", 100, 0, std::nullopt, 64, CUT},
      {"cut inside the tag", 139, 0, std::nullopt, 64, CUT},
      {"a stray byte after the last chunk", 140, 1, std::nullopt, 100, CUT},
      {"source fails inside a chunk", 100, 0, eio, 64, eio.display()},
      {"source fails between chunks", 84, 0, eio, 64, eio.display()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stored(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(c.keep));
    stored.resize(stored.size() + c.extra, 0);
    auto source = std::make_unique<SpanSource>(stored);
    if (c.source_error) source->fail_at_end(*c.source_error);
    const ReadBack back = decrypt(context, std::move(source));
    EXPECT_EQ(back.bytes, Bytes(plaintext.begin(),
                                plaintext.begin() + static_cast<std::ptrdiff_t>(c.delivered)));
    if (c.text) {
      ASSERT_TRUE(back.error.has_value());
      EXPECT_EQ(back.error->kind(), ErrorKind::Io);
      EXPECT_EQ(back.error->display(), *c.text);
    } else {
      EXPECT_FALSE(back.error.has_value()) << back.error->display();
    }
  }
}

TEST(EntryStream, SinkErrorsPassThrough) {
  const Error full = Error::os(ENOSPC);
  VectorSink sink;
  sink.fail_with = full;
  {
    EncryptWriter writer(sink, make_key(1), make_context(4));
    EXPECT_TRUE(writer.write(Bytes{1, 2, 3}).has_value());  // nothing sealed yet
    EXPECT_KOV_ERROR(writer.write(Bytes{4}), ErrorKind::Io, full.display());
  }
  {
    EncryptWriter writer(sink, make_key(1), make_context(4));
    EXPECT_KOV_ERROR(writer.finish(), ErrorKind::Io, full.display());
  }
}

}  // namespace
