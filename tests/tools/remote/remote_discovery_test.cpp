// tillerpad-remote finding the desktop through DNS-SD, beside the private
// avahi-daemon of tests/support/with-avahi: the desktop's own advertisement.
#include <cstdlib>
#include <cstring>

#include "platform/linux/avahi_advertiser.h"
#include "tests/tools/remote/remote_test_support.h"

namespace tillerpad::remote::testing {
namespace {

using namespace std::chrono_literals;

TEST(RemoteDiscovery, FindsTheDesktopByTheIdInItsTxtRecord) {
  if (const char* why = std::getenv("TILLERPAD_AVAHI_UNAVAILABLE")) GTEST_SKIP() << why;
  const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (!bus || !std::strstr(bus, "tillerpad-avahi")) GTEST_SKIP() << "runs only beside the private avahi-daemon";

  // Another desktop on the network, so that the ID has to choose.
  auto other = platform::makeAvahiAdvertiser(kit::Logger());
  other->publish("Other Desk " + std::to_string(getpid()), 9, kit::Bonjour::txtRecord(kit::Uuid::random()));
  auto advertiser = platform::makeAvahiAdvertiser(kit::Logger());
  RemoteDesktop desktop(advertiser.get());
  auto pairing = desktop.remote({"pair", desktop.startPairing(true)});
  EXPECT_EQ(pairing->wait(), 0) << pairing->errorText;
  // The listener moved to a new port with the phone's key: the daemon
  // learns the new advertisement a moment later.
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.listenerReady(); }));
  std::unique_ptr<test::ChildProcess> ping;
  for (int attempt = 0; attempt < 20; ++attempt) {
    ping = desktop.remote({"ping"});
    if (ping->wait() == 0) break;
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_NE(std::find(ping->lines.begin(), ping->lines.end(), "pong id=1"), ping->lines.end()) << ping->errorText;
  EXPECT_EQ(desktop.paired(), 1u);
}

}  // namespace
}  // namespace tillerpad::remote::testing
