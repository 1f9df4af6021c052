#include "kit/pairing/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <array>

namespace tillerpad::kit {
namespace {

struct KdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
  void operator()(EVP_MAC* p) const { EVP_MAC_free(p); }
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, KdfFree>;

// OSSL_PARAM wants mutable pointers even for inputs it only reads.
void* mutableData(ByteView bytes) {
  static std::uint8_t empty = 0;
  return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("OpenSSL failed: ") + what); }

const char* describe(KeyAgreementError::Case c) {
  switch (c) {
    case KeyAgreementError::Case::invalidPublicKey: return "The peer's X25519 public key is invalid";
    case KeyAgreementError::Case::agreementFailed: return "The X25519 key agreement failed";
  }
  return "The X25519 key agreement failed";
}

}  // namespace

KeyAgreementError::KeyAgreementError(Case c) : std::runtime_error(describe(c)), case_(c) {}

namespace crypto {

Bytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length) {
  Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fail("HKDF unavailable");
  Owned<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) fail("HKDF context");
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableData(inputKey), inputKey.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail("HKDF derive");
  return out;
}

Bytes hmacSha256(ByteView key, ByteView message) {
  Owned<EVP_MAC> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) fail("HMAC unavailable");
  Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) fail("HMAC context");
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) fail("HMAC init");
  if (EVP_MAC_update(ctx.get(), message.data(), message.size()) != 1) fail("HMAC update");
  Bytes out(32);
  std::size_t written = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &written, out.size()) != 1 || written != out.size()) fail("HMAC final");
  return out;
}

bool constantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("The system's random source failed");
  }
  return out;
}

}  // namespace crypto

struct X25519PrivateKey::Handle {
  Owned<EVP_PKEY> key;
};

X25519PrivateKey::X25519PrivateKey(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
X25519PrivateKey::X25519PrivateKey(X25519PrivateKey&&) noexcept = default;
X25519PrivateKey& X25519PrivateKey::operator=(X25519PrivateKey&&) noexcept = default;
X25519PrivateKey::~X25519PrivateKey() = default;

X25519PrivateKey X25519PrivateKey::generate() {
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
  if (!key) fail("X25519 key generation");
  return X25519PrivateKey(std::make_unique<Handle>(Handle{std::move(key)}));
}

X25519PrivateKey X25519PrivateKey::fromRawBytes(ByteView raw) {
  if (raw.size() != keySize) throw std::invalid_argument("An X25519 private key is 32 bytes");
  Owned<EVP_PKEY> key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
  if (!key) fail("X25519 private key");
  return X25519PrivateKey(std::make_unique<Handle>(Handle{std::move(key)}));
}

Bytes X25519PrivateKey::publicKey() const {
  Bytes out(keySize);
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(handle_->key.get(), out.data(), &length) != 1 || length != keySize) {
    fail("X25519 public key");
  }
  return out;
}

Bytes X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  using Case = KeyAgreementError::Case;
  if (peerPublicKey.size() != keySize) throw KeyAgreementError(Case::invalidPublicKey);
  Owned<EVP_PKEY> peer(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
  if (!peer) throw KeyAgreementError(Case::invalidPublicKey);
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, handle_->key.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
    throw KeyAgreementError(Case::agreementFailed);
  }
  Bytes secret(keySize);
  std::size_t length = secret.size();
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != keySize) {
    throw KeyAgreementError(Case::agreementFailed);
  }
  // A low-order peer point gives the all-zero secret: no key may come of it.
  static constexpr std::array<std::uint8_t, keySize> zero{};
  if (CRYPTO_memcmp(secret.data(), zero.data(), keySize) == 0) throw KeyAgreementError(Case::agreementFailed);
  return secret;
}

}  // namespace tillerpad::kit
