#include "host/service/device_registry.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cstdio>

#include "tests/support/desktop_harness.h"

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

std::vector<std::string> names(const DeviceRegistry& r) {
  std::vector<std::string> out;
  for (const auto& d : r.devices()) out.push_back(d.name);
  return out;
}

// Runs a registry change to its completion; the error, if any.
struct Changes {
  asio::io_context& io;
  std::exception_ptr add(DeviceRegistry& r, PairedDevice d) {
    return wait([&](DeviceRegistry::Completion done) { r.add(std::move(d), std::move(done)); });
  }
  std::exception_ptr remove(DeviceRegistry& r, kit::Uuid id) {
    return wait([&](DeviceRegistry::Completion done) { r.remove(id, std::move(done)); });
  }
  template <class Start>
  std::exception_ptr wait(Start start) {
    bool finished = false;
    std::exception_ptr error;
    start([&](std::exception_ptr e) {
      finished = true;
      error = e;
    });
    EXPECT_TRUE(test::runUntil(io, [&] { return finished; }));
    return error;
  }
};

class DeviceRegistryTest : public ::testing::Test {
 protected:
  asio::io_context io_;
  std::shared_ptr<test::GatedStore> backing_ = std::make_shared<test::GatedStore>();
  kit::RecordStore<PairedDevice> store_{backing_};
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
  Changes changes_{io_};
  std::unique_ptr<DeviceRegistry> make() {
    return std::make_unique<DeviceRegistry>(io_.get_executor(), store_,
                                            kit::Logger(log_, "app.tillerpad.Tillerpad", "registry"));
  }
};

TEST_F(DeviceRegistryTest, LoadsOldestFirstAndReplacesOnAdd) {
  store_.save(device(1, 300));
  store_.save(device(2, 100));
  store_.save(device(3, 200));
  auto registry = make();
  EXPECT_EQ(names(*registry), (std::vector<std::string>{"Phone 2", "Phone 3", "Phone 1"}));

  int changes = 0;
  registry->onChange = [&] { ++changes; };
  PairedDevice renamed = device(2, 400);
  renamed.name = "Phone 2 again";
  EXPECT_FALSE(changes_.add(*registry, renamed));
  EXPECT_EQ(names(*registry), (std::vector<std::string>{"Phone 3", "Phone 1", "Phone 2 again"}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(make()->devices().size(), 3u);  // persisted
  EXPECT_EQ(registry->device(renamed.id)->name, "Phone 2 again");
}

TEST_F(DeviceRegistryTest, RemoveDeletesAndAnnouncesEvenForUnknownIds) {
  store_.save(device(1, 1));
  auto registry = make();
  int changes = 0;
  registry->onChange = [&] { ++changes; };
  EXPECT_FALSE(changes_.remove(*registry, device(9, 0).id));
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(changes_.remove(*registry, device(1, 0).id));
  EXPECT_TRUE(registry->devices().empty());
  EXPECT_TRUE(make()->devices().empty());
  EXPECT_EQ(changes, 2);
}

TEST_F(DeviceRegistryTest, StoreFailuresChangeNothing) {
  store_.save(device(1, 1));
  backing_->failReads(true);
  auto registry = make();
  EXPECT_TRUE(registry->devices().empty());
  EXPECT_EQ(log_->count("Could not load paired devices: Keychain error -2: the keyring stayed locked"), 1u);

  int changes = 0;
  registry->onChange = [&] { ++changes; };
  backing_->failChanges(true);
  EXPECT_THROW(std::rethrow_exception(changes_.add(*registry, device(2, 2))), std::runtime_error);
  EXPECT_THROW(std::rethrow_exception(changes_.remove(*registry, device(1, 1).id)), std::runtime_error);
  EXPECT_TRUE(registry->devices().empty());
  EXPECT_EQ(changes, 0);

  backing_->failChanges(false);
  EXPECT_FALSE(changes_.add(*registry, device(2, 2)));
  EXPECT_EQ(names(*registry), std::vector<std::string>{"Phone 2"});
  EXPECT_EQ(changes, 1);
}

// The keyring may wait behind a prompt far longer than a session may go
// unanswered: its work must leave the service thread free, and its results
// arrive there in the order they were asked for.
TEST(DeviceRegistryWorker, AHeldStoreDoesNotHoldTheServiceThreadAndResultsKeepTheirOrder) {
  asio::io_context io;
  auto gated = std::make_shared<test::GatedStore>();
  auto log = std::make_shared<kit::RecordingLogSink>();
  DeviceRegistry registry(io.get_executor(), kit::RecordStore<PairedDevice>(gated),
                          kit::Logger(log, "app.tillerpad.Tillerpad", "registry"));
  std::vector<std::string> events;
  registry.onChange = [&] { events.push_back("change " + std::to_string(registry.devices().size())); };

  gated->hold();
  registry.add(device(1, 1), [&](std::exception_ptr e) { events.push_back(e ? "add failed" : "added"); });
  registry.remove(device(1, 1).id, [&](std::exception_ptr e) { events.push_back(e ? "remove failed" : "removed"); });
  ASSERT_TRUE(test::runUntil(io, [&] { return gated->isHolding(); }));

  int ticks = 0;
  asio::steady_timer timer(io, std::chrono::milliseconds(1));
  timer.async_wait([&](std::error_code) { ++ticks; });
  asio::post(io, [&] { ++ticks; });
  EXPECT_TRUE(test::runUntil(io, [&] { return ticks == 2; }));
  EXPECT_TRUE(gated->isHolding());
  EXPECT_TRUE(events.empty());  // nothing shows before the store has it

  gated->release();
  ASSERT_TRUE(test::runUntil(io, [&] { return events.size() == 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"change 1", "added", "change 0", "removed"}));
}

}  // namespace
}  // namespace tillerpad::host
