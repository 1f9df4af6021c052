#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "tools/remote/output.h"

namespace tillerpad::remote {
namespace {

using kit::Message;

const kit::Uuid kMac = *kit::Uuid::parse("A1B2C3D4-0000-4000-8000-00000000000A");

TEST(RemoteOutput, QuotedTextsCannotBreakTheLineOrTheTerminal) {
  EXPECT_EQ(quoted("Desk"), "\"Desk\"");
  EXPECT_EQ(quoted("a \"b\" \\c"), "\"a \\\"b\\\" \\\\c\"");
  EXPECT_EQ(quoted("x\ny\tz"), "\"x\\ny\\tz\"");
  EXPECT_EQ(quoted("\x1b[2J\x7f"), "\"\\u001b[2J\\u007f\"");
  EXPECT_EQ(quoted("Büro"), "\"Büro\"");  // UTF-8 passes unchanged
}

// (The lines e2e scripts match whole, pong, bye and rejected among them, are theirs.)
TEST(RemoteOutput, EveryAnswerIsOneStableLine) {
  struct Case {
    Message message;
    std::string line;
  };
  const Case cases[] = {
      {Message::welcome({{1, 5}, kMac, "My \"Desk\"", "0.1.0", 50123}),
       "welcome macID=" + kMac.text() + " name=\"My \\\"Desk\\\"\" appVersion=\"0.1.0\" protocol=1.5 fastPort=50123"},
      {Message::welcome({{1, 5}, kMac, "D", "2", std::nullopt}),
       "welcome macID=" + kMac.text() + " name=\"D\" appVersion=\"2\" protocol=1.5 fastPort=none"},
      {Message::permissionStatus({true, false}), "permissionStatus accessibility=true screenRecording=false"},
      {Message::sharingSettings({false, true}), "sharingSettings clipboard=false screen=true"},
      {Message::error({kit::ErrorCode("odd code\n"), "line\nbreak"}), "error code=odd\\u0020code\\n detail=\"line\\nbreak\""},
      {Message::screenInfo({{{69, "HDMI 1", 1920, 1080, true}, {70, "DP,2:x", 1280, 1024, false}}, 70}),
       "screenInfo displayID=70 displays=69:HDMI\\u00201:1920x1080:main,70:DP\\u002c2\\u003ax:1280x1024"},
      {Message::screenInfo({{}, 0}), "screenInfo displayID=0 displays=none"},
      {Message::screenFrame({8'589'934'593u, 69, 640, 360, {kit::Bytes(1234)}}),
       "frame id=8589934593 display=69 size=640x360 bytes=1234"},
      {Message::clipboard(kit::ClipboardContent::fromText("two\nlines \"quoted\"", false)),
       "clipboard text=\"two\\nlines \\\"quoted\\\"\""},
      {Message::clipboard(kit::ClipboardContent::fromImage({kit::ImageFormat::jpeg, {kit::Bytes(700)}}, false)),
       "clipboard image=jpeg bytes=700"},
      {Message::clipboard(kit::ClipboardContent::fromImage(
           {kit::ImageFormat::png, {kit::Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                               0, 0, 0x01, 0x2c, 0, 0, 0, 3}}},
           false)),
       "clipboard image=png bytes=24 size=300x3"},
      {Message::appListRequest({}), "message type=appListRequest"},
      {Message::appList({{{"a", "A", true, true}}}), "appList count=1"},
      {Message::appIcon({"kde okular", 16, {kit::Bytes(3)}}), "appIcon id=kde\\u0020okular pixelSize=16 bytes=3"},
      {Message::unknown("future\x1b"), "message type=future\\u001b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatMessage(c.message), c.line);
    EXPECT_EQ(formatMessage(c.message).find('\n'), std::string::npos);
  }
  EXPECT_EQ(formatClipboard(kit::ClipboardContent::fromImage({kit::ImageFormat::jpeg, {kit::Bytes(5)}}, false), "o/c-1.jpg"),
            "clipboard image=jpeg bytes=5 file=\"o/c-1.jpg\"");
  EXPECT_EQ(formatAppList({{{"org.gnome.Calculator", "Rechner \"2\"", false, false}, {"vlc", "VLC", true, true}}}),
            (std::vector<std::string>{"appList count=2",
                                      "app id=org.gnome.Calculator name=\"Rechner \\\"2\\\"\" running=false active=false",
                                      "app id=vlc name=\"VLC\" running=true active=true"}));
  EXPECT_EQ(formatFrame({1, 2, 4, 2, {kit::Bytes(9)}}, "out/frame-1.jpg"),
            "frame id=1 display=2 size=4x2 bytes=9 file=\"out/frame-1.jpg\"");
  // The rate counts the intervals between the first frame and the last.
  EXPECT_EQ(formatScreenSummary(5, 0.4), "screen frames=5 seconds=0.400 fps=10.0");
  EXPECT_EQ(formatScreenSummary(1, 0), "screen frames=1 seconds=0.000 fps=0.0");
  EXPECT_EQ(formatRejection(kit::PairingRejection("")), "rejected reason=\"\"");
}

TEST(RemoteOutput, PairedLineNamesDesktopAndDeviceButNeverTheKey) {
  kit::PairedMac record{kMac, "Desk", *kit::Uuid::parse("00000000-1111-4222-8333-444444444444"), {},
                        kit::SymmetricKey::random()};
  EXPECT_EQ(formatPaired(record),
            "paired macID=" + kMac.text() + " name=\"Desk\" deviceID=00000000-1111-4222-8333-444444444444");
}

TEST(RemoteOutput, LinesReachAPipeAtOnceWithoutControlCharacters) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);  // an unflushed line fails the read instead of hanging it
  FILE* writer = fdopen(fds[1], "w");
  ASSERT_NE(writer, nullptr);
  setvbuf(writer, nullptr, _IOFBF, 1 << 16);  // fully buffered, as stdout into a pipe is
  Output output(writer, writer);
  output.line("pong id=1");
  output.failure("bye \"x\x1b[1m\"");
  char buffer[128] = {};
  ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
            "pong id=1\ntillerpad-remote: bye \"x\\u001b[1m\"\n");
  fclose(writer);
  close(fds[0]);
}

}  // namespace
}  // namespace tillerpad::remote
