#pragma once
// The standard primitives under the key rules, all from OpenSSL 3.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// A key agreement that cannot be made.
class KeyAgreementError : public std::runtime_error {
 public:
  enum class Case {
    invalidPublicKey,  // not 32 bytes, or not accepted as an X25519 public key
    agreementFailed,   // the agreement failed or gave the all-zero secret
  };

  explicit KeyAgreementError(Case c);
  Case errorCase() const { return case_; }
  friend bool operator==(const KeyAgreementError& a, const KeyAgreementError& b) { return a.case_ == b.case_; }

 private:
  Case case_;
};

namespace crypto {

// HKDF-SHA256 extract-and-expand (RFC 5869). `length` is at most 255 * 32.
Bytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length);
// HMAC-SHA256 (RFC 2104).
Bytes hmacSha256(ByteView key, ByteView message);
// Equal length and equal bytes, in time that depends only on the lengths.
bool constantTimeEqual(ByteView a, ByteView b);
// Bytes from the cryptographic random source; throws if it fails.
Bytes randomBytes(std::size_t count);

}  // namespace crypto

// An X25519 private key (RFC 7748).
class X25519PrivateKey {
 public:
  static constexpr std::size_t keySize = 32;

  // A fresh key from the cryptographic random source.
  static X25519PrivateKey generate();
  // A key from its 32 raw bytes; another length throws std::invalid_argument.
  static X25519PrivateKey fromRawBytes(ByteView raw);

  X25519PrivateKey(X25519PrivateKey&&) noexcept;
  X25519PrivateKey& operator=(X25519PrivateKey&&) noexcept;
  ~X25519PrivateKey();

  // The matching public key, 32 raw bytes.
  Bytes publicKey() const;
  // The 32-byte shared secret with a peer's raw public key.
  // Throws KeyAgreementError.
  Bytes sharedSecret(ByteView peerPublicKey) const;

 private:
  struct Handle;
  explicit X25519PrivateKey(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

}  // namespace tillerpad::kit
