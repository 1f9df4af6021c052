// The headless front over the real app model: fakes for the system, the real
// server on loopback, and a phone made of the kit's own pairing client.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <algorithm>

#include "host/app/app_model.h"
#include "host/app/headless_front.h"
#include "host/app/permission_monitor.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "platform/fake/fake_permission_probe.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/fake/recording_advertiser.h"
#include "platform/fake/recording_input.h"
#include "platform/login_item_service.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::testing::spawn;

class FakeLoginItems : public platform::LoginItemService {
 public:
  Status status() const override { return status_; }
  void registerApp() override { status_ = Status::enabled; }
  void unregisterApp() override { status_ = Status::notRegistered; }

 private:
  Status status_ = Status::notRegistered;
};

// The whole desktop with fakes underneath; `clock` drives every timer.
struct Desktop {
  explicit Desktop(std::shared_ptr<kit::Clock> clock) : clock(std::move(clock)) {
    input.setCursor(platform::Point{100, 100});
    input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}});
    probe.input = true;
    model = std::make_unique<AppModel>(AppPlatform{
        io, this->clock, [this] { return now; }, log, defaults, system, loginItems,
        [this](const std::string& service) {
          services.push_back(service);
          return store;
        },
        probe, input, input, 0.5, nullptr, commands, commands, advertiser, tlsListenerFactory(io.get_executor()),
        interfaces});
    front = std::make_unique<HeadlessFront>(
        *model, io.get_executor(), this->clock, [this] { return now; },
        HeadlessFront::Terminal{[this](std::string_view line) { lines.emplace_back(line); }, false},
        [this] { ++quits; });
  }
  ~Desktop() {
    front.reset();
    model.reset();
    kit::testing::drain(io);
  }

  template <class Predicate>
  bool runUntil(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      io.restart();
      io.run_for(10ms);
    }
    return done();
  }
  bool printed(std::string_view line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  std::size_t count(std::string_view line) const {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
  std::string lastCode() const {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->starts_with(kit::PairingPayload::prefix)) return *it;
    }
    return {};
  }
  std::uint16_t port() const { return std::get<Server::Listening>(model->server->status()).port; }

  asio::io_context io;
  std::shared_ptr<kit::Clock> clock;
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  platform::fake::InMemoryUserDefaults defaults;
  platform::fake::FixedSystemInfo system{std::string("Studio"), std::nullopt};
  FakeLoginItems loginItems;
  std::shared_ptr<kit::InMemoryCredentialStore> store = std::make_shared<kit::InMemoryCredentialStore>();
  std::vector<std::string> services;
  platform::fake::FakePermissionProbe probe;
  platform::fake::RecordingInput input;
  platform::fake::FakeSystemCommands commands;
  platform::fake::RecordingAdvertiser advertiser;
  kit::SystemInterfaceSource interfaces;
  std::unique_ptr<AppModel> model;
  std::unique_ptr<HeadlessFront> front;
  std::vector<std::string> lines;
  int quits = 0;
};

// A phone pairing with the code the terminal printed.
std::shared_ptr<kit::testing::Outcome<kit::PairedMac>> pairPhone(Desktop& desktop, kit::DeviceInfo device) {
  auto payload = kit::PairingPayload::parse(desktop.lastCode());
  kit::PreSharedKey psk{kit::PeerIdentity::pairing(payload.pairingID), {}};
  auto key = kit::KeyDerivation::pairingPSK(payload);
  std::copy(key.bytes().begin(), key.bytes().end(), psk.key.begin());
  kit::TlsContext context(kit::TransportParameters::client(psk));
  auto channel = kit::MessageChannel::create(
      desktop.io.get_executor(),
      kit::TlsConnection::connect(desktop.io.get_executor(), context, kit::Endpoint::hostPort("127.0.0.1", desktop.port())),
      "phone", desktop.clock);
  auto run = [](std::shared_ptr<kit::MessageChannel> channel, kit::PairingPayload payload,
                kit::DeviceInfo device) -> asio::awaitable<kit::PairedMac> {
    auto opening = channel->open(10s);
    co_await std::move(opening);
    auto pairing = kit::PairingFlow::pair(channel, payload, device);
    auto record = co_await std::move(pairing);
    channel->cancel();
    co_return record;
  };
  return spawn(desktop.io, run(channel, payload, std::move(device)));
}

TEST(HeadlessFrontTest, PairsAllowsDeniesAndRevokesFromTheTerminal) {
  Desktop desktop(std::make_shared<kit::SteadyClock>());
  desktop.front->begin(true);
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("Expires in 5:00"); }));
  ASSERT_TRUE(desktop.runUntil(
      [&] { return std::holds_alternative<Server::Listening>(desktop.model->server->status()); }));
  EXPECT_TRUE(desktop.printed("Listening on port " + std::to_string(desktop.port())));
  EXPECT_EQ(desktop.services, std::vector<std::string>{"app.tillerpad.Tillerpad.devices"});
  // The code line follows the QR block and the instructions.
  auto code = std::find(desktop.lines.begin(), desktop.lines.end(), desktop.lastCode());
  ASSERT_GT(code - desktop.lines.begin(), 10);
  auto title = std::find(desktop.lines.begin(), desktop.lines.end(), "Pair Your iPhone");
  ASSERT_LT(title + 4, code);
  EXPECT_NE(title[4].find("▀"), std::string::npos);  // after the quiet zone

  // A phone whose name would clear the terminal and forge a log line.
  auto first = pairPhone(desktop, {"Ada\x1b[2J\nINFO x", "iPhone15,2", "18.1", "1.0"});
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("Allow? [y/N]"); }));
  EXPECT_TRUE(desktop.printed("Allow “Ada[2JINFO x” to control this Mac?"));
  EXPECT_TRUE(desktop.printed("iPhone15,2 · iOS 18.1"));
  desktop.front->handleLine(" Yes \r");
  ASSERT_TRUE(desktop.runUntil([&] { return first->done; }));
  ASSERT_FALSE(first->error);
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("“Ada[2JINFO x” is paired"); }));
  ASSERT_EQ(desktop.model->registry.devices().size(), 1u);
  EXPECT_EQ(desktop.model->registry.devices()[0].name, "Ada[2JINFO x");
  // The terminal pairing ends with its outcome: the code's key is withdrawn.
  ASSERT_TRUE(desktop.runUntil([&] { return !desktop.model->pairing->payload(); }));

  // A second phone is denied by any answer but yes.
  auto listening = [&] {
    return std::count_if(desktop.lines.begin(), desktop.lines.end(),
                         [](const std::string& l) { return l.starts_with("Listening on port"); });
  };
  auto before = listening();
  desktop.front->handleLine("pair");
  ASSERT_EQ(desktop.count("Pair Your iPhone"), 2u);
  // The listener restarts with the new code's key.
  ASSERT_TRUE(desktop.runUntil([&] { return listening() > before; }));
  auto second = pairPhone(desktop, {"Eve", "iPhone", "17", "1.0"});
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.count("Allow? [y/N]") == 2; }));
  desktop.front->handleLine("sure");
  ASSERT_TRUE(desktop.runUntil([&] { return second->done && desktop.printed("Pairing denied"); }));
  EXPECT_TRUE(second->error);
  EXPECT_EQ(desktop.model->registry.devices().size(), 1u);

  // Revoking asks first; "no" keeps the phone, the id then "y" removes it.
  desktop.front->handleLine("revoke Ada[2JINFO x");
  EXPECT_TRUE(desktop.printed("Revoke “Ada[2JINFO x”?"));
  EXPECT_TRUE(desktop.printed("Revoke? [y/N]"));
  desktop.front->handleLine("no");
  EXPECT_TRUE(desktop.printed("Cancelled."));
  EXPECT_EQ(desktop.model->registry.devices().size(), 1u);
  desktop.front->handleLine("revoke " + desktop.model->registry.devices()[0].id.text());
  desktop.front->handleLine("y");
  EXPECT_TRUE(desktop.printed("Done."));
  EXPECT_TRUE(desktop.runUntil([&] { return desktop.model->registry.devices().empty(); }));
  desktop.front->handleLine("revoke Nobody");
  EXPECT_TRUE(desktop.printed("No paired iPhone is named “Nobody” or has that id. Type “devices” for the list."));

  desktop.front->handleLine("quit");
  EXPECT_EQ(desktop.quits, 1);
}

TEST(HeadlessFrontTest, CountsDownAndReportsAnExpiredCode) {
  auto clock = std::make_shared<kit::ManualClock>();
  Desktop desktop(clock);
  desktop.front->begin(true);
  kit::testing::drain(desktop.io);
  ASSERT_TRUE(desktop.printed("Expires in 5:00"));
  auto advance = [&](std::chrono::seconds by) {
    desktop.now += by;
    clock->advance(by);
    kit::testing::drain(desktop.io);
  };
  for (auto shown : {"Expires in 4:00", "Expires in 3:00", "Expires in 2:00", "Expires in 1:00"}) {
    advance(60s);
    EXPECT_TRUE(desktop.printed(shown));
  }
  advance(30s);
  EXPECT_TRUE(desktop.printed("Expires in 0:30"));
  advance(20s);
  EXPECT_TRUE(desktop.printed("Expires in 0:10"));
  EXPECT_FALSE(desktop.printed("The code expired"));
  advance(10s);
  EXPECT_TRUE(desktop.printed("The code expired"));
  EXPECT_TRUE(desktop.printed(
      "For your security, pairing codes are valid for 5 minutes. Create a new one to try again."));
  EXPECT_FALSE(desktop.model->pairing->pendingKey());

  // With standard input closed, a question can only be answered no.
  desktop.front->endOfInput();
  bool added = false;
  desktop.model->registry.add({kit::Uuid::random(), "Ada", "iPhone", {}, kit::SymmetricKey::random()},
                              [&](std::exception_ptr) { added = true; });
  ASSERT_TRUE(desktop.runUntil([&] { return added; }));
  desktop.front->handleLine("revoke Ada");  // the answer arrives before the question is asked
  desktop.front->endOfInput();
  EXPECT_EQ(desktop.model->registry.devices().size(), 1u);
}

// With standard input closed the question is answered no while it is asked:
// the phone hears "denied" at once instead of waiting for its own limit.
TEST(HeadlessFrontTest, WithInputClosedAPairingIsDeniedAtOnce) {
  Desktop desktop(std::make_shared<kit::SteadyClock>());
  desktop.front->endOfInput();
  desktop.front->begin(true);
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("Expires in 5:00"); }));
  ASSERT_TRUE(desktop.runUntil(
      [&] { return std::holds_alternative<Server::Listening>(desktop.model->server->status()); }));
  auto phone = pairPhone(desktop, {"Eve", "iPhone", "17", "1.0"});
  ASSERT_TRUE(desktop.runUntil([&] { return phone->done; }));
  EXPECT_TRUE(desktop.printed("(Standard input is closed: no.)"));
  EXPECT_EQ(phone->errorAs<kit::PairingError>(), kit::PairingError::rejected(kit::PairingRejection::denied));
  EXPECT_TRUE(desktop.runUntil([&] { return desktop.printed("Pairing denied"); }));
  EXPECT_TRUE(desktop.model->registry.devices().empty());
}

TEST(HeadlessFrontTest, PermissionChangesArePrintedAndForwarded) {
  auto clock = std::make_shared<kit::ManualClock>();
  Desktop desktop(clock);
  desktop.front->begin(false);
  kit::testing::drain(desktop.io);
  EXPECT_TRUE(desktop.printed("Screen viewing: not possible (the X display cannot be read)"));
  auto reads = desktop.probe.reads;

  clock->advance(1s);
  kit::testing::drain(desktop.io);
  EXPECT_GT(desktop.probe.reads, reads);  // polled, nothing changed, nothing printed
  EXPECT_EQ(desktop.count("Screen viewing: not possible (the X display cannot be read)"), 1u);

  desktop.probe.screen = true;
  clock->advance(1s);
  kit::testing::drain(desktop.io);
  EXPECT_TRUE(desktop.printed("Screen viewing: possible"));
  EXPECT_EQ(desktop.model->permissions.status(), (kit::PermissionStatus{true, true}));
}

TEST(PermissionMonitorTest, ReportsOnlyChangesWithBothFlagsAndStopsWhenGone) {
  asio::io_context io;
  auto clock = std::make_shared<kit::ManualClock>();
  platform::fake::FakePermissionProbe probe;
  probe.input = true;
  std::vector<kit::PermissionStatus> reports;
  {
    PermissionMonitor monitor(probe, io.get_executor(), clock);
    EXPECT_TRUE(monitor.accessibility());
    EXPECT_FALSE(monitor.screenRecording());
    monitor.onChange = [&](const kit::PermissionStatus& s) { reports.push_back(s); };
    clock->advance(1s);
    kit::testing::drain(io);
    EXPECT_TRUE(reports.empty());
    probe.input = false;
    probe.screen = true;
    clock->advance(999ms);
    kit::testing::drain(io);
    EXPECT_TRUE(reports.empty());  // not yet a second
    clock->advance(1ms);
    kit::testing::drain(io);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], (kit::PermissionStatus{false, true}));
  }
  auto reads = probe.reads;
  clock->advance(5s);
  kit::testing::drain(io);
  EXPECT_EQ(probe.reads, reads);
  EXPECT_EQ(clock->pendingTimers(), 0u);
}

}  // namespace
}  // namespace tillerpad::host
