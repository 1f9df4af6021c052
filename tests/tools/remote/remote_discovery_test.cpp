// tillerpad-remote finding the in-test desktop through DNS-SD, beside the
// private avahi-daemon of tests/support/with-avahi.
#include <cstdlib>
#include <cstring>

#include "platform/linux/avahi_advertiser.h"
#include "tests/tools/remote/remote_test_support.h"

namespace tillerpad::kit::testing {
namespace {

TEST(RemoteDiscovery, FindsTheDesktopByTheIdInItsTxtRecord) {
  if (const char* why = std::getenv("TILLERPAD_AVAHI_UNAVAILABLE")) GTEST_SKIP() << why;
  const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (!bus || !std::strstr(bus, "tillerpad-avahi")) GTEST_SKIP() << "runs only beside the private avahi-daemon";

  TestDesktop desktop;
  // Another desktop on the network, so that the ID has to choose.
  auto other = platform::makeAvahiAdvertiser(Logger());
  other->publish("Other Desk " + std::to_string(getpid()), 9, Bonjour::txtRecord(Uuid::random()));
  auto advertiser = platform::makeAvahiAdvertiser(Logger());
  advertiser->publish("Test Desk " + std::to_string(getpid()), desktop.port, Bonjour::txtRecord(desktop.macID));

  auto dataHome = std::filesystem::temp_directory_path() / ("tillerpad-remote-test-" + Uuid::random().text());
  {
    Remote pairing(dataHome, {"pair", desktop.startPairing(true)});
    EXPECT_EQ(pairing.wait(), 0) << pairing.errorText;
    Remote ping(dataHome, {"ping"});
    EXPECT_EQ(ping.wait(), 0) << ping.errorText;
    EXPECT_NE(std::find(ping.lines.begin(), ping.lines.end(), "pong id=1"), ping.lines.end());
  }
  EXPECT_EQ(desktop.pairedCount(), 1u);
  std::filesystem::remove_all(dataHome);
}

}  // namespace
}  // namespace tillerpad::kit::testing
