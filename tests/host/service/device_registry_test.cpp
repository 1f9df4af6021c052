#include "host/service/device_registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

namespace tillerpad::host {
namespace {

using kit::PairedDevice;

std::string idText(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

PairedDevice device(int n, int secondsSince2001) {
  PairedDevice d;
  d.id = *kit::Uuid::parse(idText(n));
  d.name = "Phone " + std::to_string(n);
  d.model = "Model";
  d.pairedAt = kit::RecordTime(std::chrono::seconds(978307200 + secondsSince2001));
  return d;
}

// A backing store whose reads or writes can be made to fail.
class FlakyStore : public kit::InMemoryCredentialStore {
 public:
  std::map<std::string, kit::Bytes> all() override {
    if (failReads) throw std::runtime_error("keyring locked");
    return InMemoryCredentialStore::all();
  }
  void write(kit::ByteView data, const std::string& account) override {
    if (failWrites) throw std::runtime_error("disk full");
    InMemoryCredentialStore::write(data, account);
  }
  void remove(const std::string& account) override {
    if (failWrites) throw std::runtime_error("disk full");
    InMemoryCredentialStore::remove(account);
  }
  bool failReads = false;
  bool failWrites = false;
};

std::vector<std::string> names(const DeviceRegistry& r) {
  std::vector<std::string> out;
  for (const auto& d : r.devices()) out.push_back(d.name);
  return out;
}

class DeviceRegistryTest : public ::testing::Test {
 protected:
  std::shared_ptr<FlakyStore> backing_ = std::make_shared<FlakyStore>();
  kit::RecordStore<PairedDevice> store_{backing_};
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
  DeviceRegistry make() { return DeviceRegistry(store_, kit::Logger(log_, "app.tillerpad.Tillerpad", "registry")); }
};

TEST_F(DeviceRegistryTest, LoadsOldestFirstAndReplacesOnAdd) {
  store_.save(device(1, 300));
  store_.save(device(2, 100));
  store_.save(device(3, 200));
  auto registry = make();
  EXPECT_EQ(names(registry), (std::vector<std::string>{"Phone 2", "Phone 3", "Phone 1"}));

  int changes = 0;
  registry.onChange = [&] { ++changes; };
  PairedDevice renamed = device(2, 400);
  renamed.name = "Phone 2 again";
  registry.add(renamed);
  EXPECT_EQ(names(registry), (std::vector<std::string>{"Phone 3", "Phone 1", "Phone 2 again"}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(make().devices().size(), 3u);  // persisted
  EXPECT_EQ(registry.device(renamed.id)->name, "Phone 2 again");
}

TEST_F(DeviceRegistryTest, RemoveDeletesAndAnnouncesEvenForUnknownIds) {
  store_.save(device(1, 1));
  auto registry = make();
  int changes = 0;
  registry.onChange = [&] { ++changes; };
  registry.remove(device(9, 0).id);
  EXPECT_EQ(changes, 1);
  registry.remove(device(1, 0).id);
  EXPECT_TRUE(registry.devices().empty());
  EXPECT_TRUE(make().devices().empty());
  EXPECT_EQ(changes, 2);
}

TEST_F(DeviceRegistryTest, StoreFailuresChangeNothing) {
  store_.save(device(1, 1));
  backing_->failReads = true;
  auto registry = make();
  EXPECT_TRUE(registry.devices().empty());
  EXPECT_EQ(log_->count("Could not load paired devices: keyring locked"), 1u);

  int changes = 0;
  registry.onChange = [&] { ++changes; };
  backing_->failWrites = true;
  EXPECT_THROW(registry.add(device(2, 2)), std::runtime_error);
  EXPECT_THROW(registry.remove(device(1, 1).id), std::runtime_error);
  EXPECT_TRUE(registry.devices().empty());
  EXPECT_EQ(changes, 0);

  backing_->failWrites = false;
  registry.add(device(2, 2));
  EXPECT_EQ(names(registry), std::vector<std::string>{"Phone 2"});
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace tillerpad::host
