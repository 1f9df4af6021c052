#include <gtest/gtest.h>

#include "kit/pairing/crypto.h"
#include "kit/pairing/key_derivation.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace testing;

Bytes repeated(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

struct HkdfCase {
  const char* name;
  Bytes ikm, salt, info;
  std::size_t length;
  const char* okm;
};

TEST(Crypto, HkdfSha256MatchesRfc5869) {
  const HkdfCase cases[] = {
      {"case 1", repeated(0x0b, 22), counting(0x00, 13), counting(0xf0, 10), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {"case 2", counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80), 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2"
       "f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {"case 3", repeated(0x0b, 22), {}, {}, 42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toHex(crypto::hkdfSha256(c.ikm, c.salt, c.info, c.length)), c.okm) << c.name;
  }
}

TEST(Crypto, HmacSha256MatchesRfc4231) {
  const std::string longKeyText = "Test Using Larger Than Block-Size Key - Hash Key First";
  const std::string longDataText =
      "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
      "hashed before being used by the HMAC algorithm.";
  const struct {
    const char* name;
    Bytes key, data;
    const char* mac;
  } cases[] = {
      {"case 1", repeated(0x0b, 20), Bytes(asBytes("Hi There").begin(), asBytes("Hi There").end()),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"case 2", Bytes{'J', 'e', 'f', 'e'},
       Bytes(asBytes("what do ya want for nothing?").begin(), asBytes("what do ya want for nothing?").end()),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"case 6", repeated(0xaa, 131), Bytes(longKeyText.begin(), longKeyText.end()),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"case 7", repeated(0xaa, 131), Bytes(longDataText.begin(), longDataText.end()),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) EXPECT_EQ(toHex(crypto::hmacSha256(c.key, c.data)), c.mac) << c.name;
}

const char* const kAlicePrivate = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char* const kAlicePublic = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char* const kBobPrivate = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
const char* const kBobPublic = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";
const char* const kShared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";

TEST(Crypto, X25519MatchesRfc7748) {
  auto alice = X25519PrivateKey::fromRawBytes(fromHex(kAlicePrivate));
  auto bob = X25519PrivateKey::fromRawBytes(fromHex(kBobPrivate));
  EXPECT_EQ(toHex(alice.publicKey()), kAlicePublic);
  EXPECT_EQ(toHex(bob.publicKey()), kBobPublic);
  EXPECT_EQ(toHex(alice.sharedSecret(fromHex(kBobPublic))), kShared);
  EXPECT_EQ(toHex(bob.sharedSecret(fromHex(kAlicePublic))), kShared);
}

// One fixed payload; the pinned values below were computed once from the
// key rules with an independent HKDF/HMAC implementation.
PairingPayload fixedPayload() {
  return PairingPayload(*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"),
                        *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                        *SymmetricKey::fromBytes(counting(0x00, 32)),
                        std::chrono::sys_seconds(std::chrono::seconds(1700000000)));
}

const Bytes kBinding = counting(0x40, 32);

TEST(KeyDerivation, PinnedVectors) {
  PairingPayload payload = fixedPayload();
  SymmetricKey psk = KeyDerivation::pairingPSK(payload);
  EXPECT_EQ(toHex(psk.bytes()), "abd75648dbf682a49173932cff1865d36cead474ea813114641767696cd6af73");

  auto desktop = X25519PrivateKey::fromRawBytes(fromHex(kAlicePrivate));
  SymmetricKey device = KeyDerivation::deviceKey(desktop, fromHex(kBobPublic), payload);
  EXPECT_EQ(toHex(device.bytes()), "49e8ffc3e3e5fb3f4b629b467b7c5d02fd5e1ce5def102f3bc4bdf4a16618c40");

  auto deviceIdentity = PeerIdentity::device(payload.pairingID);
  auto pairingIdentity = PeerIdentity::pairing(payload.pairingID);
  EXPECT_EQ(toHex(KeyDerivation::helloProof(device, kBinding, deviceIdentity)),
            "a179b4f66a070952232162a60ece059bf83197c12e5c809590fc4b1cad111b82");
  EXPECT_EQ(toHex(KeyDerivation::helloProof(psk, kBinding, pairingIdentity)),
            "74873407aeeaacf217393699a03f5e8beec73bab78a8d49e1f1174a6bfd5b2e6");

  Bytes message = KeyDerivation::proofMessage(kBinding, deviceIdentity);
  ASSERT_EQ(message.size(), 70u);
  EXPECT_EQ(asText(ByteView(message).subspan(32)), "d:0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
}

TEST(KeyDerivation, BothSidesAgreeOnTheDeviceKey) {
  PairingPayload payload = PairingPayload::make(Uuid::random(), std::chrono::system_clock::now(), std::chrono::seconds(300));
  auto desktop = X25519PrivateKey::generate();
  auto phone = X25519PrivateKey::generate();
  SymmetricKey onDesktop = KeyDerivation::deviceKey(desktop, phone.publicKey(), payload);
  SymmetricKey onPhone = KeyDerivation::deviceKey(phone, desktop.publicKey(), payload);
  EXPECT_EQ(onDesktop, onPhone);

  PairingPayload otherPairing = payload;
  otherPairing.pairingID = Uuid::random();
  EXPECT_NE(KeyDerivation::deviceKey(desktop, phone.publicKey(), otherPairing), onDesktop);
  EXPECT_NE(KeyDerivation::pairingPSK(otherPairing), KeyDerivation::pairingPSK(payload));
  EXPECT_EQ(KeyDerivation::pairingPSK(payload), KeyDerivation::pairingPSK(PairingPayload::parse(payload.code())));
}

TEST(KeyDerivation, RejectsBadPeerKeys) {
  auto own = X25519PrivateKey::generate();
  PairingPayload payload = fixedPayload();
  Bytes good = X25519PrivateKey::generate().publicKey();
  using Case = KeyAgreementError::Case;
  const struct {
    const char* name;
    Bytes key;
    Case expected;
  } cases[] = {
      {"31 bytes", Bytes(good.begin(), good.end() - 1), Case::invalidPublicKey},
      {"33 bytes", [&] { Bytes b = good; b.push_back(0); return b; }(), Case::invalidPublicKey},
      {"empty", {}, Case::invalidPublicKey},
      // Points of small order yield the all-zero secret.
      {"zero point", repeated(0, 32), Case::agreementFailed},
      {"point of order 8", fromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"),
       Case::agreementFailed},
  };
  for (const auto& c : cases) {
    try {
      KeyDerivation::deviceKey(own, c.key, payload);
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const KeyAgreementError& e) {
      EXPECT_EQ(e.errorCase(), c.expected) << c.name;
    }
  }
}

TEST(KeyDerivation, ProofVerifiesOnlyForItsKeyBindingAndIdentity) {
  SymmetricKey key = SymmetricKey::random();
  Uuid id = *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
  auto identity = PeerIdentity::device(id);
  Bytes proof = KeyDerivation::helloProof(key, kBinding, identity);
  EXPECT_TRUE(KeyDerivation::isValidHelloProof(proof, key, kBinding, identity));

  Bytes otherBinding = kBinding;
  otherBinding[0] ^= 1;
  Bytes lowerCaseMessage(kBinding);
  std::string lower = "d:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  lowerCaseMessage.insert(lowerCaseMessage.end(), lower.begin(), lower.end());
  Bytes flipped = proof;
  flipped[5] ^= 0x80;

  const struct {
    const char* name;
    Bytes proof;
    SymmetricKey key;
    Bytes binding;
    PeerIdentity identity;
  } rejected[] = {
      {"other key", proof, SymmetricKey::random(), kBinding, identity},
      {"other session", proof, key, otherBinding, identity},
      {"pairing prefix", proof, key, kBinding, PeerIdentity::pairing(id)},
      {"lower-case identity text", crypto::hmacSha256(key.bytes(), lowerCaseMessage), key, kBinding, identity},
      {"one bit flipped", flipped, key, kBinding, identity},
      {"truncated", Bytes(proof.begin(), proof.end() - 1), key, kBinding, identity},
      {"extended", [&] { Bytes b = proof; b.push_back(0); return b; }(), key, kBinding, identity},
      {"empty", {}, key, kBinding, identity},
  };
  for (const auto& c : rejected) {
    EXPECT_FALSE(KeyDerivation::isValidHelloProof(c.proof, c.key, c.binding, c.identity)) << c.name;
  }
}

}  // namespace
}  // namespace tillerpad::kit
