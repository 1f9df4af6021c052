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

inline PairedDevice sampleDevice(std::string name) {
  return PairedDevice{Uuid::random(), std::move(name), "iPhone15,2",
                      RecordTime(std::chrono::microseconds(1'750'000'000'123'456)), SymmetricKey::random()};
}

TEST_P(CredentialStoreContract, EmptyServiceListsNothing) { EXPECT_TRUE(store->all().empty()); }

TEST_P(CredentialStoreContract, WriteCreatesAndReplaces) {
  Bytes binary = {0x00, 0xFF, 0x10, 0x00, 0x80};
  store->write(bytesOf("first"), "A");
  store->write(binary, "B");
  store->write(bytesOf("second"), "A");
  auto items = store->all();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items["A"], bytesOf("second"));
  EXPECT_EQ(items["B"], binary);
}

TEST_P(CredentialStoreContract, DeleteRemovesOneAndIgnoresMissing) {
  store->write(bytesOf("one"), "A");
  store->write(bytesOf("two"), "B");
  store->remove("A");
  store->remove("A");
  store->remove("never written");
  auto items = store->all();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items["B"], bytesOf("two"));
}

TEST_P(CredentialStoreContract, AccountNamesAreKeptExactly) {
  const std::string accounts[] = {"../../escape", "a/b", ".hidden", "..", "Gerät 1", "%41", "with\nnewline",
                                  "6F9619FF-8B86-D011-B42D-00C04FC964FF", "6f9619ff-8b86-d011-b42d-00c04fc964ff"};
  for (const auto& account : accounts) store->write(bytesOf("value of " + account), account);
  auto items = store->all();
  EXPECT_EQ(items.size(), std::size(accounts));
  for (const auto& account : accounts) EXPECT_EQ(items[account], bytesOf("value of " + account)) << account;
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
  PairedDevice phone = sampleDevice("Anna’s iPhone");
  PairedDevice tablet = sampleDevice("iPad");
  records.save(phone);
  records.save(tablet);
  store->write(bytesOf("{not json"), "00000000-0000-0000-0000-000000000001");
  store->write(bytesOf(R"({"id":"00000000-0000-0000-0000-000000000002"})"), "00000000-0000-0000-0000-000000000002");

  auto items = store->all();
  EXPECT_EQ(items.count(phone.id.text()), 1u);
  EXPECT_EQ(items.size(), 4u);

  auto loaded = records.all();
  ASSERT_EQ(loaded.size(), 2u);
  std::sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  EXPECT_EQ(loaded[0], phone);
  EXPECT_EQ(loaded[1], tablet);

  phone.name = "Renamed";
  records.save(phone);
  records.remove(tablet.id);
  loaded = records.all();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].name, "Renamed");
  EXPECT_EQ(store->all().count(tablet.id.text()), 0u);
}

}  // namespace tillerpad::kit::test
