#include "host/service/device_registry.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using kit::PairedDevice;
using Names = std::vector<std::string>;

PairedDevice device(int n, int secondsSince2001) {
  return PairedDevice{*kit::Uuid::parse("00000000-0000-4000-8000-00000000000" + std::to_string(n)),
                      "Phone " + std::to_string(n), "Model", kit::RecordTime(std::chrono::seconds(978307200 + secondsSince2001)),
                      kit::SymmetricKey::random()};
}

class DeviceRegistryTest : public ::testing::Test {
 protected:
  std::unique_ptr<DeviceRegistry> make() {
    auto registry = std::make_unique<DeviceRegistry>(io_.get_executor(), kit::RecordStore<PairedDevice>(backing_),
                                                     kit::Logger(log_, "app.tillerpad.Tillerpad", "registry"));
    registry->onChange = [this, r = registry.get()] { changes_.push_back(names(*r)); };
    return registry;
  }
  static Names names(const DeviceRegistry& r) {
    Names out;
    for (const auto& d : r.devices()) out.push_back(d.name);
    return out;
  }
  // Runs a change to its completion; its error, if any.
  std::exception_ptr finish(const std::function<void(DeviceRegistry::Completion)>& start) {
    std::optional<std::exception_ptr> result;
    start([&](std::exception_ptr e) { result = e; });
    EXPECT_TRUE(test::runUntil(io_, [&] { return result.has_value(); }));
    return result.value_or(nullptr);
  }

  asio::io_context io_;
  std::shared_ptr<test::GatedStore> backing_ = std::make_shared<test::GatedStore>();
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
  std::vector<Names> changes_;  // the list at each announcement
};

TEST_F(DeviceRegistryTest, LoadsOldestFirstReplacesOnAddAndAnnouncesEveryRemoval) {
  kit::RecordStore<PairedDevice> store(backing_);
  for (auto d : {device(1, 300), device(2, 100), device(3, 200)}) store.save(d);
  auto registry = make();
  EXPECT_EQ(names(*registry), (Names{"Phone 2", "Phone 3", "Phone 1"}));

  PairedDevice renamed = device(2, 400);
  renamed.name = "Phone 2 again";
  EXPECT_FALSE(finish([&](auto done) { registry->add(renamed, done); }));
  EXPECT_EQ(registry->device(renamed.id)->name, "Phone 2 again");
  EXPECT_FALSE(finish([&](auto done) { registry->remove(device(9, 0).id, done); }));  // not listed
  EXPECT_FALSE(finish([&](auto done) { registry->remove(device(1, 0).id, done); }));
  EXPECT_EQ(changes_, (std::vector<Names>{{"Phone 3", "Phone 1", "Phone 2 again"},
                                          {"Phone 3", "Phone 1", "Phone 2 again"},
                                          {"Phone 3", "Phone 2 again"}}));
  EXPECT_EQ(names(*make()), (Names{"Phone 3", "Phone 2 again"}));  // persisted
}

TEST_F(DeviceRegistryTest, StoreFailuresChangeNothing) {
  kit::RecordStore<PairedDevice>(backing_).save(device(1, 1));
  backing_->failReads(true);
  auto registry = make();
  EXPECT_TRUE(registry->devices().empty());
  EXPECT_EQ(log_->count("Could not load paired devices: Keychain error -2: the keyring stayed locked"), 1u);

  backing_->failChanges(true);
  EXPECT_THROW(std::rethrow_exception(finish([&](auto done) { registry->add(device(2, 2), done); })), std::runtime_error);
  EXPECT_TRUE(registry->devices().empty());
  EXPECT_TRUE(changes_.empty());
}

// The keyring may wait behind a prompt: results arrive on the service thread
// in the order they were asked for, and nothing shows before the store has it.
// (That the service thread runs meanwhile: PairingControllerTest.AllowedPhone...)
TEST_F(DeviceRegistryTest, AHeldStoreShowsNothingEarlyAndResultsKeepTheirOrder) {
  auto registry = make();
  std::vector<std::string> events;
  registry->onChange = [&] { events.push_back("change " + std::to_string(registry->devices().size())); };
  backing_->hold();
  registry->add(device(1, 1), [&](std::exception_ptr e) { events.push_back(e ? "add failed" : "added"); });
  registry->remove(device(1, 1).id, [&](std::exception_ptr e) { events.push_back(e ? "remove failed" : "removed"); });
  ASSERT_TRUE(test::runUntil(io_, [&] { return backing_->isHolding(); }));
  io_.poll();
  EXPECT_TRUE(events.empty());
  backing_->release();
  ASSERT_TRUE(test::runUntil(io_, [&] { return events.size() == 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"change 1", "added", "change 0", "removed"}));
}

}  // namespace
}  // namespace tillerpad::host
