#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "kit/common/base64.h"
#include "kit/common/coding_error.h"
#include "kit/pairing/paired_records.h"
#include "tests/kit/pairing/credential_store_contract.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono;
using nlohmann::json;

PairedDevice fixedDevice() {
  return PairedDevice{*Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "Anna’s iPhone", "iPhone15,2",
                      RecordTime(microseconds(978307200'000000 + 700000000'250000)),
                      *SymmetricKey::fromBytes(testing::counting(0x00, 32))};
}

PairedMac fixedMac() {
  return PairedMac{*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"), "Studio",
                   *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), RecordTime(microseconds(978307200'000000)),
                   *SymmetricKey::fromBytes(testing::counting(0x20, 32))};
}

TEST(PairedRecords, StoredJsonForm) {
  json device = json::parse(toJsonText(fixedDevice()));  // seconds since 2001
  EXPECT_EQ(device, json::parse(R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","name":"Anna’s iPhone",
      "model":"iPhone15,2","pairedAt":700000000.25,
      "keyData":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="})"));
  EXPECT_TRUE(device["pairedAt"].is_number_float());

  json mac = json::parse(toJsonText(fixedMac()));
  EXPECT_EQ(mac, json::parse(R"({"id":"00112233-4455-6677-8899-AABBCCDDEEFF","name":"Studio",
      "deviceID":"6F9619FF-8B86-D011-B42D-00C04FC964FF","pairedAt":0.0,
      "keyData":"ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8="})"));

  EXPECT_EQ(fromJsonText<PairedMac>(toJsonText(fixedMac())), fixedMac());
  for (std::int64_t micros : {std::int64_t{-1}, std::int64_t{1'700'000'000'999'999}, std::int64_t{-2'208'988'800'000'000}}) {
    PairedDevice record = fixedDevice();
    record.pairedAt = RecordTime(microseconds(micros));
    EXPECT_EQ(fromJsonText<PairedDevice>(toJsonText(record)), record) << micros;
  }
  // Whole seconds written by another encoder, as integers.
  device["pairedAt"] = 86400;
  EXPECT_EQ(fromJsonText<PairedDevice>(device.dump()).pairedAt, RecordTime(seconds(978307200 + 86400)));
}

TEST(PairedRecords, TextFormNeverShowsTheKey) {
  EXPECT_EQ(fixedDevice().description(), "PairedDevice(6F9619FF-8B86-D011-B42D-00C04FC964FF, Anna’s iPhone, key: <redacted>)");
  std::ostringstream streamed;
  streamed << fixedDevice() << fixedMac();
  EXPECT_EQ(streamed.str(), fixedDevice().description() + fixedMac().description());
  EXPECT_EQ(streamed.str().find(base64::encode(fixedMac().keyData.bytes())), std::string::npos);
}

TEST(PairedRecords, DecodingFailures) {
  using Kind = DecodingError::Kind;
  auto with = [](const char* key, json value) {
    json doc = json::parse(toJsonText(fixedDevice()));
    if (value.is_discarded()) doc.erase(key); else doc[key] = std::move(value);
    return doc.dump();
  };
  const json absent = json::value_t::discarded;
  const struct { const char* name; std::string text; Kind kind; } cases[] = {
      {"not JSON", "{", Kind::dataCorrupted},
      {"no id", with("id", absent), Kind::keyNotFound},
      {"null name", with("name", nullptr), Kind::valueNotFound},
      {"id not a UUID", with("id", "phone"), Kind::dataCorrupted},
      {"pairedAt as text", with("pairedAt", "2024-01-01"), Kind::typeMismatch},
      {"pairedAt far out", with("pairedAt", 1e300), Kind::dataCorrupted},
      {"keyData URL-safe", with("keyData", "-_-_"), Kind::dataCorrupted},
      {"keyData of 31 bytes", with("keyData", base64::encode(testing::counting(0, 31))), Kind::dataCorrupted},
  };
  for (const auto& c : cases) {
    try {
      fromJsonText<PairedDevice>(c.text);
      ADD_FAILURE() << c.name << " decoded";
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.name << ": " << e.what();
    }
  }
  EXPECT_EQ(fromJsonText<PairedDevice>(with("extra", "ignored")), fixedDevice());
}

using test::CredentialStoreContract;
INSTANTIATE_TEST_SUITE_P(InMemory, CredentialStoreContract,
                         ::testing::Values(test::StoreFactory{
                             "InMemoryCredentialStore", [] { return std::make_shared<InMemoryCredentialStore>(); },
                             nullptr}));

}  // namespace
}  // namespace tillerpad::kit
