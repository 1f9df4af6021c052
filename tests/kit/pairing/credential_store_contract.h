#pragma once
// The behaviour every CredentialStore shares, run against each store by
// instantiating CredentialStoreContract with a factory for it.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/pairing/credential_store.h"
#include "kit/pairing/paired_records.h"
#include "kit/pairing/record_store.h"

namespace tillerpad::kit::test {

struct StoreFactory {
  std::string name;
  // A store for a service nobody used before.
  std::function<std::shared_ptr<CredentialStore>()> makeEmpty;
  // A second, independent store over the same items as `store` (persistent
  // stores only).
  std::function<std::shared_ptr<CredentialStore>(CredentialStore& store)> reopen;
  // Why the store cannot be tested here, when it cannot.
  std::function<std::optional<std::string>()> unavailable;
};

inline std::ostream& operator<<(std::ostream& out, const StoreFactory& f) { return out << f.name; }

class CredentialStoreContract : public ::testing::TestWithParam<StoreFactory> {
 protected:
  void SetUp() override {
    if (GetParam().unavailable) {
      if (auto reason = GetParam().unavailable()) GTEST_SKIP() << *reason;
    }
    store = GetParam().makeEmpty();
  }
  std::shared_ptr<CredentialStore> store;
};

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST_P(CredentialStoreContract, WritesReplaceAndRemovalsIgnoreMissingItems) {
  EXPECT_TRUE(store->all().empty());
  Bytes binary = {0x00, 0xFF, 0x10, 0x00, 0x80};
  store->write(bytesOf("first"), "A");
  store->write(binary, "B");
  store->write(bytesOf("second"), "A");
  store->write(bytesOf("third"), "C");
  store->remove("C");
  store->remove("C");
  store->remove("never written");
  EXPECT_EQ(store->all(), (std::map<std::string, Bytes>{{"A", bytesOf("second")}, {"B", binary}}));
}

// Account names are kept as they are, never taken as paths or folded in case.
TEST_P(CredentialStoreContract, AccountNamesAreKeptExactly) {
  const std::string accounts[] = {"../../escape", "a/b", ".hidden", "..", "Gerät 1", "%41", "with\nnewline",
                                  "6F9619FF-8B86-D011-B42D-00C04FC964FF", "6f9619ff-8b86-d011-b42d-00c04fc964ff"};
  std::map<std::string, Bytes> expected;
  for (const auto& account : accounts) {
    store->write(bytesOf("value of " + account), account);
    expected[account] = bytesOf("value of " + account);
  }
  EXPECT_EQ(store->all(), expected);
}

// Only for stores that persist: instantiate PersistentCredentialStoreContract.
class PersistentCredentialStoreContract : public CredentialStoreContract {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PersistentCredentialStoreContract);

TEST_P(PersistentCredentialStoreContract, ItemsOutliveTheInstance) {
  store->write(bytesOf("kept"), "A");
  auto again = GetParam().reopen(*store);
  EXPECT_EQ(again->all()["A"], bytesOf("kept"));
  again->remove("A");
  EXPECT_TRUE(store->all().empty());
}

TEST_P(CredentialStoreContract, RecordStoreSavesUnderTheUpperCaseIdAndSkipsCorruptItems) {
  RecordStore<PairedDevice> records(store);
  auto sample = [](std::string name) {
    return PairedDevice{Uuid::random(), std::move(name), "iPhone15,2", RecordTime(std::chrono::microseconds(1'750'000'000'123'456)),
                        SymmetricKey::random()};
  };
  PairedDevice phone = sample("Anna’s iPhone"), tablet = sample("iPad");
  records.save(phone);
  records.save(tablet);
  store->write(bytesOf("{not json"), "00000000-0000-0000-0000-000000000001");
  store->write(bytesOf(R"({"id":"00000000-0000-0000-0000-000000000002"})"), "00000000-0000-0000-0000-000000000002");
  EXPECT_EQ(store->all().count(phone.id.text()), 1u);
  EXPECT_EQ(store->all().size(), 4u);

  phone.name = "Renamed";
  records.save(phone);
  auto loaded = records.all();
  std::sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  EXPECT_EQ(loaded, (std::vector<PairedDevice>{phone, tablet}));
  records.remove(tablet.id);
  EXPECT_EQ(records.all(), std::vector<PairedDevice>{phone});
  EXPECT_EQ(store->all().count(tablet.id.text()), 0u);
}

}  // namespace tillerpad::kit::test
