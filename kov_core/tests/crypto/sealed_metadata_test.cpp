#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <string>
#include <vector>

#include "kov_core/archive.hpp"
#include "kov_core/crypto.hpp"
#include "support/expect_error.hpp"
#include "util/sodium.hpp"

namespace {

using kov_core::ErrorKind;
using kov_core::crypto::ArchiveKey;
using kov_core::crypto::index_tag;
using kov_core::crypto::index_tag_of_stored_index;
using kov_core::crypto::open_metadata;
using kov_core::crypto::seal_metadata;
using kov_core::crypto::sealed_metadata_aad;
using Bytes = std::vector<std::uint8_t>;
using Prefix = std::array<std::uint8_t, 16>;

constexpr const char* NOT_OPENED =
    "corrupt archive: incorrect credentials or modified header/metadata";

ArchiveKey make_key(std::uint8_t first) {
  ArchiveKey key;
  for (std::size_t i = 0; i < key.size(); ++i)
    key.data()[i] = static_cast<std::uint8_t>(first + 7 * i);
  return key;
}

Prefix make_prefix() {
  Prefix prefix{};
  for (std::size_t i = 0; i < prefix.size(); ++i) prefix[i] = static_cast<std::uint8_t>(0x30 + i);
  return prefix;
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13);
  return out;
}

// The AEAD output for a nonce built from the prefix and eight given bytes, straight from libsodium.
Bytes seal_by_hand(const ArchiveKey& key, const Prefix& prefix, const Bytes& nonce_tail,
                   const Bytes& ad, Bytes message) {
  kov_core::util::ensure_sodium();
  Bytes nonce(prefix.begin(), prefix.end());
  nonce.insert(nonce.end(), nonce_tail.begin(), nonce_tail.end());
  Bytes tag(16);
  const std::size_t n = message.size();
  message.push_back(0);  // keeps the message pointer non-null when empty
  EXPECT_EQ(crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                message.data(), tag.data(), nullptr, message.data(), n, ad.data(), ad.size(),
                nullptr, nonce.data(), key.data()),
            0);
  message.pop_back();
  message.insert(message.end(), tag.begin(), tag.end());
  return message;
}

TEST(SealedMetadata, SealsUnderTheMetadataNonceAndOpens) {
  const ArchiveKey key = make_key(3);
  const Bytes ad = pattern(185, 1);
  const Bytes index = pattern(300, 9);
  Bytes buffer = index;
  ASSERT_TRUE(seal_metadata(key, make_prefix(), ad, buffer).has_value());
  EXPECT_EQ(buffer, seal_by_hand(key, make_prefix(),
                                 {0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}, ad, index));

  auto opened = open_metadata(key, make_prefix(), ad, buffer);
  ASSERT_TRUE(opened.has_value()) << opened.error().display();
  EXPECT_EQ(*opened, index.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*opened)), index);
}

TEST(SealedMetadata, EmptyCiphertextIsJustTheTag) {
  const ArchiveKey key = make_key(3);
  const Bytes ad = pattern(185, 1);
  Bytes buffer;
  ASSERT_TRUE(seal_metadata(key, make_prefix(), ad, buffer).has_value());
  ASSERT_EQ(buffer.size(), 16u);
  auto opened = open_metadata(key, make_prefix(), ad, buffer);
  ASSERT_TRUE(opened.has_value()) << opened.error().display();
  EXPECT_EQ(*opened, 0u);

  buffer[5] ^= 0x01;
  EXPECT_KOV_ERROR(open_metadata(key, make_prefix(), ad, buffer), ErrorKind::Corrupt, NOT_OPENED);
}

TEST(SealedMetadata, ShorterThanATagIsTruncated) {
  const ArchiveKey key = make_key(3);
  for (std::size_t size : {0u, 15u}) {
    SCOPED_TRACE(size);
    Bytes buffer(size, 0);
    EXPECT_KOV_ERROR(open_metadata(key, make_prefix(), {}, buffer), ErrorKind::Corrupt,
                     "corrupt archive: truncated metadata tag");
  }
}

TEST(SealedMetadata, AnyChangeFailsToOpen) {
  const ArchiveKey key = make_key(3);
  const Bytes ad = pattern(185, 1);
  Bytes sealed = pattern(200, 9);
  ASSERT_TRUE(seal_metadata(key, make_prefix(), ad, sealed).has_value());

  struct Case {
    const char* name;
    std::function<void(Bytes& ad, Bytes& buffer, Prefix& prefix, ArchiveKey& key)> change;
  };
  const std::vector<Case> cases{
      {"first header byte", [](Bytes& a, Bytes&, Prefix&, ArchiveKey&) { a[17] ^= 0x01; }},
      {"last settings byte", [](Bytes& a, Bytes&, Prefix&, ArchiveKey&) { a.back() ^= 0x80; }},
      {"domain text", [](Bytes& a, Bytes&, Prefix&, ArchiveKey&) { a[0] ^= 0x20; }},
      {"associated data shortened", [](Bytes& a, Bytes&, Prefix&, ArchiveKey&) { a.pop_back(); }},
      {"ciphertext byte", [](Bytes&, Bytes& b, Prefix&, ArchiveKey&) { b[100] ^= 0x01; }},
      {"tag byte", [](Bytes&, Bytes& b, Prefix&, ArchiveKey&) { b.back() ^= 0x01; }},
      {"nonce prefix", [](Bytes&, Bytes&, Prefix& p, ArchiveKey&) { p[0] ^= 0x01; }},
      {"wrong key", [](Bytes&, Bytes&, Prefix&, ArchiveKey& k) { k.data()[31] ^= 0x01; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed_ad = ad;
    Bytes buffer = sealed;
    Prefix prefix = make_prefix();
    ArchiveKey changed_key = make_key(3);
    c.change(changed_ad, buffer, prefix, changed_key);
    EXPECT_KOV_ERROR(open_metadata(changed_key, prefix, changed_ad, buffer), ErrorKind::Corrupt,
                     NOT_OPENED);
  }
}

TEST(IndexTag, IsTheTagOfAnEmptyMessageUnderTheIndexNonce) {
  const ArchiveKey key = make_key(5);
  const Bytes index = pattern(112, 2);
  auto tag = index_tag(key, make_prefix(), index);
  ASSERT_TRUE(tag.has_value());
  EXPECT_EQ(Bytes(tag->begin(), tag->end()),
            seal_by_hand(key, make_prefix(), Bytes(8, 0xFF), index, {}));
}

TEST(IndexTag, StableAndSensitiveToEveryByte) {
  const ArchiveKey key = make_key(5);
  const Bytes index = pattern(112, 2);
  const auto tag_of = [](const ArchiveKey& k, const Bytes& bytes) {
    return index_tag(k, make_prefix(), bytes).value();
  };
  const auto tag = tag_of(key, index);
  EXPECT_EQ(tag_of(key, index), tag);

  for (std::size_t i = 0; i < index.size(); ++i) {
    Bytes changed = index;
    changed[i] ^= 0x01;
    EXPECT_NE(tag_of(key, changed), tag) << "byte " << i;
  }
  Bytes longer = index;
  longer.push_back(0);
  EXPECT_NE(tag_of(key, longer), tag);
  EXPECT_NE(tag_of(make_key(6), index), tag);
  EXPECT_TRUE(index_tag(key, make_prefix(), {}).has_value());
}

TEST(SealedMetadataAad, IsTheLabelTheHeaderAndTheEnvelopePrefix) {
  const Bytes header = pattern(64, 1);
  const Bytes prefix = pattern(104, 5);
  const auto aad = sealed_metadata_aad(std::span<const std::uint8_t, 64>(header.data(), 64),
                                       std::span<const std::uint8_t, 104>(prefix.data(), 104));
  const std::span<const std::uint8_t> all(aad);
  EXPECT_EQ(kov_core::archive::hex(all.first(17)),
            "4b4f5620302e35206d6574616461746100");  // "KOV 0.5 metadata\0"
  EXPECT_EQ(Bytes(all.begin() + 17, all.begin() + 81), header);
  EXPECT_EQ(Bytes(all.begin() + 81, all.end()), prefix);
}

TEST(IndexTagOfStoredIndex, IsTheTagOfTheIndexWithItsTagFieldZeroed) {
  const ArchiveKey key = make_key(5);
  const Bytes index = pattern(130, 2);
  Bytes zeroed = index;
  std::fill(zeroed.begin() + 96, zeroed.begin() + 112, std::uint8_t{0});
  auto tag = index_tag_of_stored_index(key, make_prefix(), index);
  ASSERT_TRUE(tag.has_value()) << tag.error().display();
  EXPECT_EQ(Bytes(tag->begin(), tag->end()),
            seal_by_hand(key, make_prefix(), Bytes(8, 0xFF), zeroed, {}));

  for (std::size_t i = 95; i <= 112; ++i) {
    Bytes changed = index;
    changed[i] ^= 0x01;
    const bool in_field = i >= 96 && i < 112;
    EXPECT_EQ(index_tag_of_stored_index(key, make_prefix(), changed).value() == *tag, in_field)
        << "byte " << i;
  }
}

TEST(IndexTagOfStoredIndex, NeedsTheWholeTagField) {
  const ArchiveKey key = make_key(5);
  EXPECT_KOV_ERROR(index_tag_of_stored_index(key, make_prefix(), pattern(111, 2)),
                   ErrorKind::Corrupt, "corrupt archive: encrypted index settings are truncated");
  EXPECT_TRUE(index_tag_of_stored_index(key, make_prefix(), pattern(112, 2)).has_value());
}

}  // namespace
