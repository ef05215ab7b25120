// SHA-256, the one digest of the format, through OpenSSL's EVP interface.

#include <openssl/evp.h>

#include <new>

#include "kov_core/format.hpp"

namespace kov_core::format {

namespace {

// Fetched once: an implicit fetch on every initialisation costs more than
// hashing a small file.
const EVP_MD* sha256_method() {
  static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return method != nullptr ? method : EVP_sha256();
}

}  // namespace

void Sha256::ContextFree::operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex2(ctx_.get(), sha256_method(), nullptr) != 1)
    throw std::bad_alloc();
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  // SHA-256 over memory cannot fail once the context exists.
  (void)EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size());
}

Digest Sha256::finish() {
  Digest out{};
  unsigned int length = 0;
  (void)EVP_DigestFinal_ex(ctx_.get(), out.data(), &length);
  (void)EVP_DigestInit_ex2(ctx_.get(), sha256_method(), nullptr);
  return out;
}

Digest digest(std::span<const std::uint8_t> bytes) {
  Digest out{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, sha256_method(), nullptr) != 1)
    throw std::bad_alloc();  // only a failed context allocation makes EVP_Digest fail
  return out;
}

}  // namespace kov_core::format
