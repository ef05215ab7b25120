#include "kov_core/signature.hpp"
#include "util/guard.hpp"

#include <fcntl.h>
#include <openssl/bn.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "kov_core/crypto.hpp"
#include "kov_core/fd.hpp"
#include "kov_core/format.hpp"
#include "util/files.hpp"
#include "util/io.hpp"
#include "util/sodium.hpp"

namespace kov_core::signature {

namespace {

constexpr std::string_view MESSAGE_PREFIX{"KOV detached signature v1\0", 26};
constexpr std::size_t HASH_BLOCK_SIZE = 65536;

static_assert(MESSAGE_PREFIX.size() + 32 == MESSAGE_SIZE);
static_assert(crypto_sign_PUBLICKEYBYTES == PUBLIC_KEY_SIZE && crypto_sign_SECRETKEYBYTES == 64 &&
              crypto_sign_SEEDBYTES == crypto::KEY_SIZE);
static_assert(SIGNATURE_MAGIC.size() + PUBLIC_KEY_SIZE + crypto_sign_BYTES == SIGNATURE_FILE_SIZE);

Result<util::Fd> open_read_only(const std::filesystem::path& path) {
  util::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(Error::os(errno));
  return fd;
}

Result<std::uint64_t> file_size(const util::Fd& fd) {
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(Error::os(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

// The file may shrink after its size was checked; running out early is then a read failure.
Result<void> read_exact(const util::Fd& fd, std::span<std::uint8_t> out) {
  auto n = util::read_up_to(fd.get(), out);
  if (!n) return std::unexpected(std::move(n).error());
  if (*n < out.size()) return std::unexpected(Error::io("failed to fill whole buffer"));
  return {};
}

struct BnContext {
  BnContext() : ctx(BN_CTX_new()) {
    if (ctx != nullptr) BN_CTX_start(ctx);
  }
  BnContext(const BnContext&) = delete;
  BnContext& operator=(const BnContext&) = delete;
  ~BnContext() {
    if (ctx != nullptr) {
      BN_CTX_end(ctx);
      BN_CTX_free(ctx);
    }
  }
  BN_CTX* ctx;
};

// Whether the key is the compressed encoding of some curve point: y is taken
// mod p and the point exists when (y^2 - 1) / (d y^2 + 1) has a square root. No
// order or canonical-encoding check is made here; the strict verification that
// follows refuses small-order and non-canonical keys as a failed signature.
Result<bool> decodes_as_point(const std::array<std::uint8_t, PUBLIC_KEY_SIZE>& key) {
  // With fixed, valid operands the BN calls fail only when memory runs out.
  BnContext bn;
  if (bn.ctx == nullptr) return std::unexpected(Error::os(ENOMEM));
  BIGNUM* p = BN_CTX_get(bn.ctx);
  BIGNUM* d = BN_CTX_get(bn.ctx);
  BIGNUM* y = BN_CTX_get(bn.ctx);
  BIGNUM* y2 = BN_CTX_get(bn.ctx);
  BIGNUM* u = BN_CTX_get(bn.ctx);
  BIGNUM* v = BN_CTX_get(bn.ctx);
  BIGNUM* t = BN_CTX_get(bn.ctx);
  if (t == nullptr) return std::unexpected(Error::os(ENOMEM));

  std::array<std::uint8_t, PUBLIC_KEY_SIZE> y_bytes = key;
  y_bytes[31] &= 0x7F;  // the top bit is the sign of x
  const BIGNUM* one = BN_value_one();
  // p = 2^255 - 19 and d = -121665/121666 mod p.
  bool ok = BN_set_bit(p, 255) == 1 && BN_sub_word(p, 19) == 1 && BN_set_word(t, 121666) == 1 &&
            BN_mod_inverse(d, t, p, bn.ctx) != nullptr && BN_mul_word(d, 121665) == 1 &&
            BN_nnmod(d, d, p, bn.ctx) == 1 && BN_sub(d, p, d) == 1;
  // u = y^2 - 1 and v = d y^2 + 1.
  ok = ok && BN_lebin2bn(y_bytes.data(), static_cast<int>(y_bytes.size()), y) != nullptr &&
       BN_nnmod(y, y, p, bn.ctx) == 1 && BN_mod_sqr(y2, y, p, bn.ctx) == 1 &&
       BN_mod_sub(u, y2, one, p, bn.ctx) == 1 && BN_mod_mul(v, d, y2, p, bn.ctx) == 1 &&
       BN_mod_add(v, v, one, p, bn.ctx) == 1;
  if (!ok) return std::unexpected(Error::os(ENOMEM));
  // d is not a square, so d y^2 + 1 never vanishes; kept as a guard all the same.
  if (BN_is_zero(v)) return false;
  // x^2 = u / v: a point exists when it is 0 or a square mod p.
  if (BN_mod_inverse(t, v, p, bn.ctx) == nullptr || BN_mod_mul(t, u, t, p, bn.ctx) != 1)
    return std::unexpected(Error::os(ENOMEM));
  if (BN_is_zero(t)) return true;
  const int symbol = BN_kronecker(t, p, bn.ctx);
  if (symbol == -2) return std::unexpected(Error::os(ENOMEM));
  return symbol == 1;
}

}  // namespace

Result<SigningKey> signing_key(const std::filesystem::path& key_file) {
  auto credential = crypto::read_key_file(key_file);
  if (!credential) return std::unexpected(std::move(credential).error());
  const std::span<const std::uint8_t> seed = credential->bytes();
  if (seed.size() != crypto_sign_SEEDBYTES)
    return std::unexpected(Error::invalid_input("KOV key file secret must contain 32 bytes"));

  util::ensure_sodium();
  SigningKey key;
  // libsodium wipes the expanded secret it derives on the way; the seed copy
  // goes with the credential at the end of this scope.
  crypto_sign_seed_keypair(key.public_key.data(), key.secret.data(), seed.data());
  return key;
}

Result<std::array<std::uint8_t, MESSAGE_SIZE>> message(const std::filesystem::path& archive) {
  auto fd = open_read_only(archive);
  if (!fd) return std::unexpected(std::move(fd).error());

  format::Sha256 sha;
  std::vector<std::uint8_t> block(HASH_BLOCK_SIZE);
  for (;;) {
    auto n = util::read_some(fd->get(), block);
    if (!n) return std::unexpected(std::move(n).error());
    if (*n == 0) break;
    sha.update(std::span<const std::uint8_t>(block.data(), *n));
  }

  std::array<std::uint8_t, MESSAGE_SIZE> out{};
  std::copy(MESSAGE_PREFIX.begin(), MESSAGE_PREFIX.end(), out.begin());
  const format::Digest digest = sha.finish();
  std::copy(digest.begin(), digest.end(), out.begin() + MESSAGE_PREFIX.size());
  return out;
}

Result<void> write_new(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  return util::create_new_file(path, bytes);
}

Result<void> sign_archive(const std::filesystem::path& archive,
                          const std::filesystem::path& key_file,
                          const std::filesystem::path& output) {
  return util::guarded([&]() -> Result<void> {
    // The output comes last, so an unreadable key or archive leaves nothing behind.
    auto key = signing_key(key_file);
    if (!key) return std::unexpected(std::move(key).error());
    auto signed_message = message(archive);
    if (!signed_message) return std::unexpected(std::move(signed_message).error());

    std::array<std::uint8_t, SIGNATURE_FILE_SIZE> file{};
    std::copy(SIGNATURE_MAGIC.begin(), SIGNATURE_MAGIC.end(), file.begin());
    std::copy(key->public_key.begin(), key->public_key.end(),
              file.begin() + SIGNATURE_MAGIC.size());
    crypto_sign_detached(file.data() + SIGNATURE_MAGIC.size() + PUBLIC_KEY_SIZE, nullptr,
                         signed_message->data(), signed_message->size(), key->secret.data());
    return write_new(output, file);
  });
}

Result<void> export_signing_public_key(const std::filesystem::path& key_file,
                                       const std::filesystem::path& output) {
  return util::guarded([&]() -> Result<void> {
    auto key = signing_key(key_file);
    if (!key) return std::unexpected(std::move(key).error());
    return write_new(output, key->public_key);
  });
}

Result<void> verify_archive_signature(const std::filesystem::path& archive,
                                      const std::filesystem::path& signature_file,
                                      const std::filesystem::path& public_key_file) {
  return util::guarded([&]() -> Result<void> {
    std::array<std::uint8_t, SIGNATURE_FILE_SIZE> signature{};
    {
      auto fd = open_read_only(signature_file);
      if (!fd) return std::unexpected(std::move(fd).error());
      auto size = file_size(*fd);
      if (!size) return std::unexpected(std::move(size).error());
      if (*size != SIGNATURE_FILE_SIZE)
        return std::unexpected(Error::corrupt("invalid signature size"));
      KOV_TRY(read_exact(*fd, signature));
    }

    std::array<std::uint8_t, PUBLIC_KEY_SIZE> trusted{};
    {
      auto fd = open_read_only(public_key_file);
      if (!fd) return std::unexpected(std::move(fd).error());
      auto size = file_size(*fd);
      if (!size) return std::unexpected(std::move(size).error());
      if (*size != PUBLIC_KEY_SIZE)
        return std::unexpected(Error::invalid_input("trusted public key must contain 32 bytes"));
      KOV_TRY(read_exact(*fd, trusted));
    }

    // The embedded key only has to match; the trusted one is what the signature is checked against.
    const auto embedded =
        std::span<const std::uint8_t>(signature).subspan(SIGNATURE_MAGIC.size(), PUBLIC_KEY_SIZE);
    if (!std::equal(SIGNATURE_MAGIC.begin(), SIGNATURE_MAGIC.end(), signature.begin()) ||
        !std::equal(embedded.begin(), embedded.end(), trusted.begin()))
      return std::unexpected(Error::corrupt("signature does not match trusted public key"));

    auto decodes = decodes_as_point(trusted);
    if (!decodes) return std::unexpected(std::move(decodes).error());
    if (!*decodes) return std::unexpected(Error::invalid_input("invalid Ed25519 public key"));

    auto signed_message = message(archive);
    if (!signed_message) return std::unexpected(std::move(signed_message).error());

    util::ensure_sodium();
    const std::uint8_t* sig = signature.data() + SIGNATURE_MAGIC.size() + PUBLIC_KEY_SIZE;
    if (crypto_sign_verify_detached(sig, signed_message->data(), signed_message->size(),
                                    trusted.data()) != 0)
      return std::unexpected(Error::corrupt("archive signature verification failed"));
    return {};
  });
}

}  // namespace kov_core::signature
