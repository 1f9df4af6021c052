// tillerpad-remote against the in-test desktop over loopback TLS.
#include "tests/tools/remote/remote_test_support.h"

namespace tillerpad::kit::testing {
namespace {

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dataHome_ = std::filesystem::temp_directory_path() / ("tillerpad-remote-test-" + Uuid::random().text());
    std::filesystem::create_directories(dataHome_);
  }
  void TearDown() override { std::filesystem::remove_all(dataHome_); }

  std::vector<std::string> at(std::vector<std::string> command) {
    std::vector<std::string> arguments{"--host", "127.0.0.1", "--port", std::to_string(desktop_.port), "--name", "Test Phone"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return arguments;
  }

  // Pairs and checks the outcome.
  void pair() {
    Remote remote(dataHome_, at({"pair", desktop_.startPairing(true)}));
    EXPECT_EQ(remote.nextLine().rfind("paired macID=" + desktop_.macID.text() + " name=\"Test Desk\" deviceID=", 0), 0u);
    ASSERT_EQ(remote.wait(), 0) << remote.errorText;
    ASSERT_EQ(desktop_.pairedCount(), 1u);
  }

  TestDesktop desktop_;
  std::filesystem::path dataHome_;
};

TEST_F(RemoteTest, PairsThenDrivesTheDesktopOverOneSession) {
  pair();
  DeviceInfo phone = desktop_.firstPhone();
  EXPECT_EQ(phone.name, "Test Phone");
  EXPECT_EQ(phone.model, "tillerpad-remote");
  EXPECT_EQ(phone.appVersion, "0.1.0");

  Remote remote(dataHome_, at({"session"}));
  EXPECT_EQ(remote.nextLine(), "welcome macID=" + desktop_.macID.text() + " name=\"Test Desk\" appVersion=\"9.9\" protocol=" +
                                   ProtocolVersion::current.text() + " fastPort=" + std::to_string(desktop_.fastPort));
  EXPECT_EQ(remote.nextLine(), "permissionStatus accessibility=true screenRecording=false");
  EXPECT_EQ(remote.nextLine(), "sharingSettings clipboard=true screen=true");

  remote.send("ping");
  EXPECT_EQ(remote.lineStarting("pong"), "pong id=1");
  remote.send("move 12 -7");
  EXPECT_EQ(remote.nextLine(), "sent move");
  EXPECT_TRUE(desktop_.waitFor([&] { return !desktop_.fastEvents.empty(); }));
  EXPECT_EQ(desktop_.fastEvents.front(), FastEvent::pointerMove(12, -7));
  remote.send("click right");
  EXPECT_EQ(remote.nextLine(), "sent click");
  remote.send("type  hello, world");
  EXPECT_EQ(remote.nextLine(), "sent type");
  remote.send("key s command,shift");
  EXPECT_EQ(remote.nextLine(), "sent key");
  remote.send("fly away");
  EXPECT_EQ(remote.nextLine(), "invalid \"unknown command \\\"fly\\\"\"");
  remote.send("window missionControl");
  EXPECT_EQ(remote.nextLine(), "sent window");
  remote.endInput();
  EXPECT_EQ(remote.wait(), 0) << remote.errorText;

  EXPECT_TRUE(desktop_.received(Message::mouseButton({MouseButton::right, MouseButtonEvent::Action::click})));
  EXPECT_TRUE(desktop_.received(Message::typeText({" hello, world"})));
  EXPECT_TRUE(desktop_.received(Message::keyPress({Key("s"), Modifiers::command() | Modifiers::shift()})));
  EXPECT_TRUE(desktop_.received(Message::missionControl({MissionControlAction::missionControl})));
  EXPECT_TRUE(desktop_.received(Message::bye({ByeReason::userDisconnected})));
}

TEST_F(RemoteTest, OneShotCommandsAndTheDesktopsBye) {
  pair();
  {
    Remote remote(dataHome_, at({"media", "volumeUp"}));
    EXPECT_EQ(remote.wait(), 0) << remote.errorText;
    EXPECT_NE(std::find(remote.lines.begin(), remote.lines.end(), "sent media"), remote.lines.end());
  }
  EXPECT_TRUE(desktop_.received(Message::media({MediaAction::volumeUp})));
  {
    // A host name is looked up once.
    Remote remote(dataHome_, {"--host", "localhost", "--port", std::to_string(desktop_.port), "ping"});
    EXPECT_EQ(remote.wait(), 0) << remote.errorText;
    EXPECT_EQ(remote.lines, std::vector<std::string>({remote.lines.at(0), "permissionStatus accessibility=true screenRecording=false",
                                                     "sharingSettings clipboard=true screen=true", "pong id=1"}));
  }
  {
    Remote remote(dataHome_, at({"scroll", "0", "-3"}));
    EXPECT_EQ(remote.wait(), 0) << remote.errorText;
  }
  EXPECT_TRUE(desktop_.waitFor([&] {
    return std::find(desktop_.fastEvents.begin(), desktop_.fastEvents.end(), FastEvent::scroll(0, -3)) !=
           desktop_.fastEvents.end();
  }));
  {
    Remote remote(dataHome_, at({"session"}));
    remote.send("type please leave");
    EXPECT_EQ(remote.lineStarting("bye"), "bye reason=revoked");
    EXPECT_EQ(remote.wait(), 1);
    EXPECT_NE(remote.errorText.find("the desktop ended the session: revoked"), std::string::npos) << remote.errorText;
  }
}

TEST_F(RemoteTest, RefusedOnceTheDesktopForgetsThePhone) {
  pair();
  desktop_.forgetPhones();
  Remote remote(dataHome_, at({"ping"}));
  EXPECT_EQ(remote.wait(), 4);
  EXPECT_NE(remote.errorText.find("the desktop no longer knows this phone"), std::string::npos) << remote.errorText;
}

TEST_F(RemoteTest, PairingFailures) {
  {
    Remote remote(dataHome_, at({"pair", desktop_.startPairing(false)}));
    EXPECT_EQ(remote.nextLine(), "rejected reason=denied");
    EXPECT_EQ(remote.wait(), 5);
  }
  EXPECT_EQ(desktop_.pairedCount(), 0u);
  {
    // A code the desktop never offered: its key is unknown there.
    PairingPayload stranger = PairingPayload::make(desktop_.macID, std::chrono::system_clock::now(), 5min);
    Remote remote(dataHome_, at({"pair", stranger.code()}));
    EXPECT_EQ(remote.wait(), 4);
    EXPECT_NE(remote.errorText.find("does not know this pairing code"), std::string::npos) << remote.errorText;
  }
  {
    Remote remote(dataHome_, at({"pair", "TILLERPAD:nonsense"}));
    EXPECT_EQ(remote.wait(), 2);
  }
  {
    Remote remote(dataHome_, at({"ping"}));  // nothing paired
    EXPECT_EQ(remote.wait(), 3);
    EXPECT_NE(remote.errorText.find("not paired"), std::string::npos) << remote.errorText;
  }
}

TEST_F(RemoteTest, WithoutAvahiDaemonItAsksForTheAddress) {
  Remote remote(dataHome_, {"pair", desktop_.startPairing(true)},
                {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus"}});
  EXPECT_EQ(remote.wait(), 3);
  EXPECT_NE(remote.errorText.find("DNS-SD is unavailable"), std::string::npos) << remote.errorText;
  EXPECT_NE(remote.errorText.find("--host"), std::string::npos) << remote.errorText;
  EXPECT_EQ(desktop_.pairedCount(), 0u);
}

}  // namespace
}  // namespace tillerpad::kit::testing
