#include "kit/pairing/symmetric_key.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "kit/pairing/crypto.h"

namespace tillerpad::kit {

SymmetricKey::~SymmetricKey() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

std::optional<SymmetricKey> SymmetricKey::fromBytes(ByteView bytes) {
  if (bytes.size() != size) return std::nullopt;
  SymmetricKey key;
  std::copy(bytes.begin(), bytes.end(), key.bytes_.begin());
  return key;
}

SymmetricKey SymmetricKey::random() {
  Bytes fresh = crypto::randomBytes(size);
  SymmetricKey key = *fromBytes(fresh);
  OPENSSL_cleanse(fresh.data(), fresh.size());
  return key;
}

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
  return CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), SymmetricKey::size) == 0;
}

}  // namespace tillerpad::kit
