// What only the remote tool's own checks see (pairing, sessions, the revoked
// phone's refusal, five screen frames, text on the clipboard and the refusals
// of both when switched off run in tests/e2e): its exit statuses and
// messages, the name it pairs under, a host name looked up, what the capture
// was asked for, Ctrl-C, images on the clipboard, and applications.
#include "tests/tools/remote/remote_test_support.h"

#include <signal.h>

#include <algorithm>
#include <fstream>

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
}

TEST(RemoteTool, ViewsTheScreenUntilEnoughFramesOrCtrlC) {
  RemoteDesktop desktop;
  desktop.pairPhone();
  auto out = desktop.dataHome / "frames";

  auto printed = [](test::ChildProcess& remote, const std::string& line) {
    return std::find(remote.lines.begin(), remote.lines.end(), line) != remote.lines.end();
  };
  // Feeds the fake capture until the remote printed `count` frames (bounded).
  auto frames = [&](test::ChildProcess& remote, int count) {
    int seen = 0;
    for (int i = 0; i < 300 && seen < count; ++i) {
      desktop.screenCapture.deliverFrame(64, 40, static_cast<std::uint8_t>(i));
      if (auto line = remote.nextLine(50ms); line && line->starts_with("frame ")) ++seen;
    }
    return seen;
  };

  auto limited = desktop.remote(desktop.at({"screen", "--width", "640", "--fps", "5", "--frames", "3", "--out", out}));
  EXPECT_EQ(limited->lineStarting("screenInfo"), "screenInfo displayID=1 displays=1:A:1280x800:main");
  EXPECT_EQ(frames(*limited, 3), 3);
  ASSERT_EQ(limited->wait(), 0) << limited->errorText;
  EXPECT_TRUE(printed(*limited, "sent screenStop"));
  EXPECT_EQ(std::filesystem::file_size(out / "frame-4294967299.jpg"), 5u);  // the fake encoder's bytes
  // The width and rate asked for reached the capture.
  EXPECT_EQ(desktop.screenCapture.calls().at(1).config, (platform::CaptureConfig{1, 640, 400, 0.2, true}));
  EXPECT_TRUE(desktop.runUntil([&] { return desktop.screenCapture.liveStreams() == 0; }));

  auto endless = desktop.remote(desktop.at({"screen"}));
  ASSERT_TRUE(endless->lineStarting("screenInfo"));
  EXPECT_EQ(frames(*endless, 1), 1);
  ::kill(endless->pid(), SIGINT);
  ASSERT_EQ(endless->wait(), 0) << endless->errorText;
  EXPECT_TRUE(printed(*endless, "sent screenStop"));
  EXPECT_TRUE(desktop.runUntil([&] { return desktop.screenCapture.liveStreams() == 0; }));
}

TEST(RemoteTool, WatchesAndSetsTheClipboard) {
  RemoteDesktop desktop;
  desktop.pairPhone();
  using platform::Pasteboard;
  // A PNG header is all the tool looks at (its size is in it).
  const kit::Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 2, 0, 0, 0, 1, 7};

  auto out = desktop.dataHome / "clips";
  auto watch = desktop.remote(desktop.at({"clipboard", "watch", "--count", "1", "--out", out}));
  ASSERT_TRUE(watch->lineStarting("sent clipboardSubscription"));
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.model->clipboard->isWatching(); }));
  desktop.pasteboard.copy({{Pasteboard::pngType, png}});
  EXPECT_EQ(watch->lineStarting("clipboard "),
            "clipboard image=png bytes=25 size=2x1 file=\"" + (out / "clipboard-1.png").string() + "\"");
  ASSERT_EQ(watch->wait(), 0) << watch->errorText;
  EXPECT_EQ(std::filesystem::file_size(out / "clipboard-1.png"), png.size());
  EXPECT_TRUE(desktop.runUntil([&] { return !desktop.model->clipboard->isWatching(); }));

  auto file = desktop.dataHome / "image.png";
  {
    std::ofstream stream(file, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::optional<std::pair<std::string, kit::Bytes>> written;
    std::string says;
  };
  const Case cases[] = {
      {{"clipboard", "set", "--image", file.string(), "--paste"}, 0, {{Pasteboard::pngType, png}}, ""},
      {{"clipboard", "set", "--image", (desktop.dataHome / "clips").string()}, 7, std::nullopt, "cannot read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    auto writes = desktop.pasteboard.writes().size();
    auto set = desktop.remote(desktop.at(c.arguments));
    EXPECT_EQ(set->wait(), c.status) << set->errorText;
    EXPECT_NE(set->errorText.find(c.says), std::string::npos) << set->errorText;
    if (!c.written) {
      EXPECT_EQ(desktop.pasteboard.writes().size(), writes);
      continue;
    }
    ASSERT_TRUE(desktop.runUntil([&] { return desktop.pasteboard.writes().size() == writes + 1; }));
    EXPECT_EQ(desktop.pasteboard.content(), (platform::fake::FakePasteboard::Item{*c.written}));
  }
}

TEST(RemoteTool, WatchesTheAppListAndSavesIcons) {
  RemoteDesktop desktop;
  auto& apps = desktop.appWorkspace;
  apps.setFolders({"/apps"});
  apps.addFile("/apps", "x.desktop", "x", "Xterm");
  apps.setIcons({"x"});
  desktop.pairPhone();

  auto watch = desktop.remote(desktop.at({"apps", "--watch", "--count", "2"}));
  EXPECT_EQ(watch->lineStarting("appList"), "appList count=1");
  EXPECT_EQ(watch->nextLine(), "app id=x name=\"Xterm\" running=false active=false");
  apps.setRunning({{{"x", ""}}, "x"});
  apps.fireChange();
  EXPECT_EQ(watch->lineStarting("app id"), "app id=x name=\"Xterm\" running=true active=true");
  ASSERT_EQ(watch->wait(), 0) << watch->errorText;

  auto file = desktop.dataHome / "x.png";
  auto icon = desktop.remote(desktop.at({"icon", "x", "16", "--out", file}));
  auto line = icon->lineStarting("appIcon");
  ASSERT_EQ(icon->wait(), 0) << icon->errorText;
  EXPECT_EQ(line, "appIcon id=x pixelSize=16 bytes=" + std::to_string(std::filesystem::file_size(file)) +
                      " size=32x32 file=\"" + file.string() + "\"");
}

}  // namespace
}  // namespace tillerpad::remote::testing
