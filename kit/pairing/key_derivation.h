#pragma once

#include <cstddef>
#include <string_view>

#include "kit/common/bytes.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/pairing/symmetric_key.h"
#include "kit/wire/session_messages.h"

// Every key rule of pairing and sessions, so that phone and desktop compute
// bit-identical values from the same inputs.
namespace tillerpad::kit::KeyDerivation {

inline constexpr std::string_view pairingPSKInfo = "tillerpad.pairing-psk.v1";
inline constexpr std::string_view deviceKeyInfo = "tillerpad.device-key.v1";
inline constexpr std::string_view helloExporterLabel = "EXPORTER-tillerpad-hello-v1";
inline constexpr std::size_t helloBindingLength = 32;

// The pre-shared key of the pairing connection: HKDF-SHA256 over the code's
// secret, salted with the pairing id.
SymmetricKey pairingPSK(const PairingPayload& payload);

// The long-term device key: HKDF-SHA256 over the X25519 shared secret, salted
// with the code's secret, info = deviceKeyInfo + pairing id bytes.
// Throws KeyAgreementError for a bad peer key or a failed agreement.
SymmetricKey deviceKey(const X25519PrivateKey& privateKey, ByteView peerPublicKey, const PairingPayload& payload);

// The exporter binding followed by the identity text, nothing in between.
Bytes proofMessage(ByteView binding, const PeerIdentity& identity);

// HMAC-SHA256 of the proof message under `key`.
Bytes helloProof(const SymmetricKey& key, ByteView binding, const PeerIdentity& identity);

// Constant-time check of a received proof; a proof of the wrong length is
// simply not valid.
bool isValidHelloProof(ByteView proof, const SymmetricKey& key, ByteView binding, const PeerIdentity& identity);

}  // namespace tillerpad::kit::KeyDerivation
