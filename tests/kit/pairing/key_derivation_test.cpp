// The pairing code, the keys derived from it and the hello proof. The pinned
// values were computed once from the key rules with an independent HKDF/HMAC
// implementation; the X25519 keys are those of RFC 7748, section 6.1.
#include <gtest/gtest.h>

#include "kit/common/base64.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_payload.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono;
using namespace testing;

const char* const kAlicePrivate = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char* const kAlicePublic = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char* const kBobPublic = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
const char* const kFixedCode =
    "TILLERPAD:AQARIjNEVWZ3iJmqu8zd7v8PHi08S1ppeIeWpbTD0uHwAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9lU_EA";
const Bytes kBinding = counting(0x40, 32);

PairingPayload fixedPayload() {
  return PairingPayload(*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"),
                        *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"), *SymmetricKey::fromBytes(counting(0x00, 32)),
                        sys_seconds(seconds(1700000000)));
}

// The error case `f` throws, or nothing when it returns.
template <class Error, class F>
std::optional<typename Error::Case> failureOf(F f) {
  try {
    f();
    return std::nullopt;
  } catch (const Error& e) {
    return e.errorCase();
  }
}

TEST(KeyDerivation, PinnedVectors) {
  PairingPayload payload = fixedPayload();
  EXPECT_EQ(payload.code(), kFixedCode);
  SymmetricKey psk = KeyDerivation::pairingPSK(payload);
  EXPECT_EQ(toHex(psk.bytes()), "abd75648dbf682a49173932cff1865d36cead474ea813114641767696cd6af73");

  auto desktop = X25519PrivateKey::fromRawBytes(fromHex(kAlicePrivate));
  EXPECT_EQ(toHex(desktop.publicKey()), kAlicePublic);
  SymmetricKey device = KeyDerivation::deviceKey(desktop, fromHex(kBobPublic), payload);
  EXPECT_EQ(toHex(device.bytes()), "49e8ffc3e3e5fb3f4b629b467b7c5d02fd5e1ce5def102f3bc4bdf4a16618c40");

  auto deviceIdentity = PeerIdentity::device(payload.pairingID);
  EXPECT_EQ(toHex(KeyDerivation::helloProof(device, kBinding, deviceIdentity)),
            "a179b4f66a070952232162a60ece059bf83197c12e5c809590fc4b1cad111b82");
  EXPECT_EQ(toHex(KeyDerivation::helloProof(psk, kBinding, PeerIdentity::pairing(payload.pairingID))),
            "74873407aeeaacf217393699a03f5e8beec73bab78a8d49e1f1174a6bfd5b2e6");
  Bytes message = KeyDerivation::proofMessage(kBinding, deviceIdentity);
  ASSERT_EQ(message.size(), 70u);
  EXPECT_EQ(asText(ByteView(message).subspan(32)), "d:0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
}

TEST(KeyDerivation, BothSidesAgreeOnTheDeviceKeyAndRefuseBadPeerKeys) {
  PairingPayload payload = PairingPayload::make(Uuid::random(), system_clock::now(), seconds(300));
  EXPECT_NE(PairingPayload::make(payload.macID, system_clock::now(), seconds(300)).secret, payload.secret);
  auto desktop = X25519PrivateKey::generate();
  auto phone = X25519PrivateKey::generate();
  EXPECT_EQ(KeyDerivation::deviceKey(phone, desktop.publicKey(), payload),
            KeyDerivation::deviceKey(desktop, phone.publicKey(), payload));

  using Case = KeyAgreementError::Case;
  const std::pair<Bytes, Case> refused[] = {
      {counting(1, 31), Case::invalidPublicKey},
      {counting(1, 33), Case::invalidPublicKey},
      // Points of small order yield the all-zero secret.
      {Bytes(32, 0), Case::agreementFailed},
      {fromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"), Case::agreementFailed},
  };
  for (const auto& [key, expected] : refused) {
    EXPECT_EQ(failureOf<KeyAgreementError>([&] { KeyDerivation::deviceKey(desktop, key, payload); }), expected)
        << toHex(key);
  }
}

TEST(KeyDerivation, ProofVerifiesOnlyForItsKeyBindingAndIdentity) {
  SymmetricKey key = SymmetricKey::random();
  Uuid id = *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
  auto identity = PeerIdentity::device(id);
  Bytes proof = KeyDerivation::helloProof(key, kBinding, identity);
  EXPECT_TRUE(KeyDerivation::isValidHelloProof(proof, key, kBinding, identity));

  Bytes otherBinding = kBinding, flipped = proof;
  otherBinding[0] ^= 1;
  flipped[5] ^= 0x80;
  std::string lower = "d:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  const struct { const char* name; Bytes proof; SymmetricKey key; Bytes binding; PeerIdentity identity; } rejected[] = {
      {"other key", proof, SymmetricKey::random(), kBinding, identity},
      {"other session", proof, key, otherBinding, identity},
      {"pairing prefix", proof, key, kBinding, PeerIdentity::pairing(id)},
      {"lower-case identity text", crypto::hmacSha256(key.bytes(), concat({kBinding, Bytes(lower.begin(), lower.end())})),
       key, kBinding, identity},
      {"one bit flipped", flipped, key, kBinding, identity},
      {"truncated", Bytes(proof.begin(), proof.end() - 1), key, kBinding, identity},
      {"extended", concat({proof, {0}}), key, kBinding, identity},
      {"empty", {}, key, kBinding, identity},
  };
  for (const auto& c : rejected) {
    EXPECT_FALSE(KeyDerivation::isValidHelloProof(c.proof, c.key, c.binding, c.identity)) << c.name;
  }
}

TEST(PairingPayload, ParsesTheCodeAsCopiedAndRefusesAnythingElse) {
  std::string tail = kFixedCode + 10;
  for (const std::string& code : {"tillerpad:" + tail, "\t\n  " + std::string(kFixedCode) + " \r\n",
                                  "\u00A0" + std::string(kFixedCode) + "\u2003"}) {  // spaces a web page brings along
    EXPECT_EQ(PairingPayload::parse(code), fixedPayload()) << code;
  }
  Bytes binary = *base64::decode(tail, base64::Alphabet::urlSafe, base64::Padding::none);
  Bytes version2 = binary;
  version2[0] = 2;
  using Case = PairingCodeError::Case;
  const std::pair<std::string, Case> refused[] = {
      {"TILLERPAD:" + base64::encode(Bytes(binary.begin(), binary.end() - 1)), Case::notAPairingCode},
      {"TILLERPAD:" + base64::encode(version2), Case::unsupportedVersion},
      {"TILLERPAD:", Case::notAPairingCode},
      {"TILLERPAX:" + tail, Case::notAPairingCode},
      {"TILLERPAD:" + std::string(91, '*'), Case::notAPairingCode},
      {std::string(kFixedCode).insert(50, " "), Case::notAPairingCode},
      {"x " + std::string(kFixedCode), Case::notAPairingCode},
  };
  for (const auto& [code, expected] : refused) {
    EXPECT_EQ(failureOf<PairingCodeError>([&] { PairingPayload::parse(code); }), expected) << code;
  }
}

TEST(PairingPayload, ExpiryIsFlooredAndInclusive) {
  auto expiry = system_clock::time_point(seconds(1700000000));
  PairingPayload payload = PairingPayload::make(Uuid::random(), expiry - seconds(300) + milliseconds(750), seconds(300));
  EXPECT_EQ(payload.expiresAt, sys_seconds(seconds(1700000000)));
  EXPECT_TRUE(payload.isExpired(expiry));
  EXPECT_FALSE(payload.isExpired(expiry - nanoseconds(1)));
}

}  // namespace
}  // namespace tillerpad::kit
