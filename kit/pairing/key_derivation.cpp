#include "kit/pairing/key_derivation.h"

#include <openssl/crypto.h>

namespace tillerpad::kit::KeyDerivation {
namespace {

SymmetricKey keyFrom(Bytes&& derived) {
  SymmetricKey key = *SymmetricKey::fromBytes(derived);
  OPENSSL_cleanse(derived.data(), derived.size());
  return key;
}

}  // namespace

SymmetricKey pairingPSK(const PairingPayload& payload) {
  return keyFrom(crypto::hkdfSha256(payload.secret.bytes(), payload.pairingID.bytes(), asBytes(pairingPSKInfo),
                                    SymmetricKey::size));
}

SymmetricKey deviceKey(const X25519PrivateKey& privateKey, ByteView peerPublicKey, const PairingPayload& payload) {
  Bytes shared = privateKey.sharedSecret(peerPublicKey);
  Bytes info(deviceKeyInfo.begin(), deviceKeyInfo.end());
  info.insert(info.end(), payload.pairingID.bytes().begin(), payload.pairingID.bytes().end());
  Bytes derived = crypto::hkdfSha256(shared, payload.secret.bytes(), info, SymmetricKey::size);
  OPENSSL_cleanse(shared.data(), shared.size());
  return keyFrom(std::move(derived));
}

Bytes proofMessage(ByteView binding, const PeerIdentity& identity) {
  std::string text = identity.text();
  Bytes message(binding.begin(), binding.end());
  message.insert(message.end(), text.begin(), text.end());
  return message;
}

Bytes helloProof(const SymmetricKey& key, ByteView binding, const PeerIdentity& identity) {
  return crypto::hmacSha256(key.bytes(), proofMessage(binding, identity));
}

bool isValidHelloProof(ByteView proof, const SymmetricKey& key, ByteView binding, const PeerIdentity& identity) {
  return crypto::constantTimeEqual(proof, helloProof(key, binding, identity));
}

}  // namespace tillerpad::kit::KeyDerivation
