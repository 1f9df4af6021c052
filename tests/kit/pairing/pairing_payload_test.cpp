#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "kit/common/base64.h"
#include "kit/pairing/pairing_payload.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono;
using Case = PairingCodeError::Case;

const char* const kFixedCode =
    "TILLERPAD:AQARIjNEVWZ3iJmqu8zd7v8PHi08S1ppeIeWpbTD0uHwAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9lU_EA";

PairingPayload fixedPayload() {
  return PairingPayload(*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"),
                        *Uuid::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                        *SymmetricKey::fromBytes(testing::counting(0x00, 32)), sys_seconds(seconds(1700000000)));
}

std::string codeOf(const Bytes& binary) {
  return "TILLERPAD:" + base64::encode(binary, base64::Alphabet::urlSafe, base64::Padding::none);
}

Bytes fixedBinary() { return *base64::decode(std::string(kFixedCode + 10), base64::Alphabet::urlSafe, base64::Padding::none); }

std::optional<Case> failureOf(const std::string& code) {
  try {
    PairingPayload::parse(code);
    return std::nullopt;
  } catch (const PairingCodeError& e) {
    return e.errorCase();
  }
}

TEST(PairingPayload, CodeHasTheFixedLayout) {
  EXPECT_EQ(fixedPayload().code(), kFixedCode);
  EXPECT_EQ(std::string(kFixedCode).size(), 102u);
  EXPECT_EQ(PairingPayload::parse(kFixedCode), fixedPayload());
}

TEST(PairingPayload, ParsingToleratesCaseOfPrefixAndSurroundingSpace) {
  std::string base64Part = std::string(kFixedCode + 10);
  const std::string accepted[] = {
      "tillerpad:" + base64Part,
      "TillerPad:" + base64Part,
      "  " + std::string(kFixedCode) + "\n",
      "\t\r\n" + std::string(kFixedCode) + " \r\n",
      "\u00A0" + std::string(kFixedCode) + "\u2003",  // spaces a copy from a web page brings
      // The standard alphabet and padding, as a hand-made code might have them.
      "TILLERPAD:" + base64::encode(fixedBinary()),
  };
  for (const auto& code : accepted) EXPECT_EQ(PairingPayload::parse(code), fixedPayload()) << code;

  std::string upper = base64Part;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  std::optional<PairingPayload> parsed;
  try {
    parsed = PairingPayload::parse("TILLERPAD:" + upper);
  } catch (const PairingCodeError&) {
  }
  EXPECT_TRUE(!parsed || *parsed != fixedPayload()) << "the Base64 part must be case-sensitive";
}

TEST(PairingPayload, MalformedCodes) {
  Bytes binary = fixedBinary();
  Bytes short68(binary.begin(), binary.end() - 1);
  Bytes long70 = binary;
  long70.push_back(0);
  Bytes version2 = binary;
  version2[0] = 2;
  Bytes version0Short = {0};

  const struct {
    const char* name;
    std::string code;
    Case expected;
  } cases[] = {
      {"68 bytes", codeOf(short68), Case::notAPairingCode},
      {"70 bytes", codeOf(long70), Case::notAPairingCode},
      {"version 2", codeOf(version2), Case::unsupportedVersion},
      {"version 2 and nothing else", codeOf(Bytes{2}), Case::unsupportedVersion},
      {"version 0, truncated", codeOf(version0Short), Case::unsupportedVersion},
      {"empty payload", "TILLERPAD:", Case::notAPairingCode},
      {"empty text", "", Case::notAPairingCode},
      {"only spaces", "   \n", Case::notAPairingCode},
      {"version 1, truncated", codeOf(Bytes{1, 0, 0}), Case::notAPairingCode},
      {"wrong prefix", "TILLERPAX:" + std::string(kFixedCode + 10), Case::notAPairingCode},
      {"no colon", "TILLERPAD" + std::string(kFixedCode + 10), Case::notAPairingCode},
      {"prefix only partly", "TILLER", Case::notAPairingCode},
      {"not Base64", "TILLERPAD:" + std::string(91, '*'), Case::notAPairingCode},
      {"space inside", std::string(kFixedCode).insert(50, " "), Case::notAPairingCode},
      {"one character too many", std::string(kFixedCode) + "A", Case::notAPairingCode},
      {"prefix after space inside", "x " + std::string(kFixedCode), Case::notAPairingCode},
  };
  for (const auto& c : cases) EXPECT_EQ(failureOf(c.code), c.expected) << c.name;
}

TEST(PairingPayload, FreshPayloadsRoundTrip) {
  auto now = system_clock::time_point(seconds(1800000000)) + milliseconds(999);
  Uuid mac = Uuid::random();
  std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  for (int i = 0; i < 50; ++i) {
    PairingPayload payload = PairingPayload::make(mac, now, seconds(300));
    EXPECT_EQ(payload.expiresAt, sys_seconds(seconds(1800000300)));
    std::string code = payload.code();
    ASSERT_EQ(code.size(), 102u);
    EXPECT_EQ(code.substr(10).find_first_not_of(alphabet), std::string::npos) << code;
    PairingPayload parsed = PairingPayload::parse(code);
    EXPECT_EQ(parsed, payload);
    EXPECT_EQ(std::hash<PairingPayload>{}(parsed), std::hash<PairingPayload>{}(payload));
  }
  PairingPayload a = PairingPayload::make(mac, now, seconds(300));
  PairingPayload b = PairingPayload::make(mac, now, seconds(300));
  EXPECT_NE(a.pairingID, b.pairingID);
  EXPECT_NE(a.secret, b.secret);
}

TEST(PairingPayload, ExpiryIsFlooredAndInclusive) {
  auto expiry = system_clock::time_point(seconds(1700000000));
  PairingPayload payload(Uuid::random(), Uuid::random(), SymmetricKey::random(), expiry + milliseconds(750));
  EXPECT_EQ(payload.expiresAt, sys_seconds(seconds(1700000000)));
  EXPECT_TRUE(payload.isExpired(expiry));
  EXPECT_TRUE(payload.isExpired(expiry + seconds(1)));
  EXPECT_FALSE(payload.isExpired(expiry - seconds(1)));
  EXPECT_FALSE(payload.isExpired(expiry - nanoseconds(1)));
}

}  // namespace
}  // namespace tillerpad::kit
