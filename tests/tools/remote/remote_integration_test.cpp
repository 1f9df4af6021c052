// What only the remote tool's own checks see (pairing, sessions and the
// revoked phone's refusal run in tests/e2e): its exit statuses and messages,
// the name it pairs under, and a host name looked up.
#include "tests/tools/remote/remote_test_support.h"

namespace tillerpad::remote::testing {
namespace {

using namespace std::chrono_literals;

TEST(RemoteTool, PairsPingsAndSaysWhyItFails) {
  RemoteDesktop desktop;
  struct Case {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    int status;
    std::string says;
  };
  // A code the desktop never offered: its key is unknown there.
  auto stranger = kit::PairingPayload::make(desktop.model->identity.id, std::chrono::system_clock::now(), 5min).code();
  const Case failures[] = {
      {desktop.at({"pair", "TILLERPAD:nonsense"}), {}, 2, ""},
      {desktop.at({"ping"}), {}, 3, "not paired"},
      {{"pair", stranger}, {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus"}}, 3, "DNS-SD is unavailable"},
      {desktop.at({"pair", stranger}), {}, 4, "does not know this pairing code"},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.says);
    auto remote = desktop.remote(c.arguments, c.environment);
    EXPECT_EQ(remote->wait(), c.status);
    EXPECT_NE(remote->errorText.find(c.says), std::string::npos) << remote->errorText;
  }
  EXPECT_EQ(desktop.paired(), 0u);

  auto pairing = desktop.remote(desktop.at({"pair", desktop.startPairing(true)}));
  EXPECT_TRUE(pairing->nextLine().value_or("").starts_with("paired macID=" + desktop.model->identity.id.text() +
                                                           " name=\"Desk\" deviceID="));
  ASSERT_EQ(pairing->wait(), 0) << pairing->errorText;
  auto phone = desktop.call([&] { return desktop.model->registry.devices().at(0); });
  EXPECT_EQ(phone.name, "Test Phone");
  EXPECT_EQ(phone.model, "tillerpad-remote");

  ASSERT_TRUE(desktop.runUntil([&] { return desktop.listenerReady(); }));
  auto ping = desktop.remote({"--host", "localhost", "--port", std::to_string(desktop.port()), "ping"});
  EXPECT_EQ(ping->wait(), 0) << ping->errorText;
  EXPECT_EQ(ping->lines.back(), "pong id=1");

  desktop.relisten([&] { desktop.server().revoke(phone.id); });
  auto refused = desktop.remote(desktop.at({"ping"}));
  EXPECT_EQ(refused->wait(), 4);
  EXPECT_NE(refused->errorText.find("the desktop no longer knows this phone"), std::string::npos) << refused->errorText;
}

}  // namespace
}  // namespace tillerpad::remote::testing
