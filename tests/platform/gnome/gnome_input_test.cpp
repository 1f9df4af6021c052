// Input through Mutter's remote desktop into a GTK window on a headless
// Mutter; the window reports what reached it.
#include "platform/gnome/gnome_backend.h"
#include "platform/gnome/gnome_input.h"
#include "platform/gnome/gnome_pasteboard.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/platform/gnome/mutter_fixture.h"

namespace tillerpad::platform::gnome::test {
namespace {

class GnomeInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new MutterSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }

  void SetUp() override {
    if (!session_->whyNot.empty()) GTEST_SKIP() << session_->whyNot;
    if (!haveGtk()) GTEST_SKIP() << "no python3-gi with GTK 3";
    pasteboard_ = std::make_unique<GnomePasteboard>(session_->desktop, session_->logger("clipboard"));
    input_ = std::make_unique<GnomeInput>(
        session_->desktop,
        [this](const std::string& utf8, const std::function<void()>& press) { return pasteboard_->pasteText(utf8, press); },
        session_->logger("input"));
    recorder_ = std::make_unique<Recorder>(session_->mutter);
    ASSERT_TRUE(recorder_->ready()) << recorder_->errors() << tillerpad::test::runShell("tail -n 20 " + session_->mutter.runtimeDir() + "/log");
    // The window settles into full screen after it says so: clicks at two
    // far apart points until both land exactly there.
    for (int attempt = 0; attempt < 20 && !settled_; ++attempt) {
      click({960, 540}, 0);
      click({1800, 1000}, 0);
      auto lines = recorder_->untilLine("release 1 1800 1000", 400ms);
      settled_ = lines && std::ranges::find(*lines, "release 1 960 540") != lines->end();
    }
    ASSERT_TRUE(settled_) << "the recording window never reported clicks where they were sent";
    linesUpToMarker();  // the late answers to the clicks above
  }

  void click(Point p, int button) {
    auto down = button == 0 ? MouseEventType::leftDown : button == 1 ? MouseEventType::rightDown : MouseEventType::otherDown;
    auto up = button == 0 ? MouseEventType::leftUp : button == 1 ? MouseEventType::rightUp : MouseEventType::otherUp;
    ASSERT_TRUE(input_->postMouse({MouseEventType::moved, 0, p}));
    ASSERT_TRUE(input_->postMouse({down, button, p, 1}));
    ASSERT_TRUE(input_->postMouse({up, button, p, 1}));
  }

  // Everything the window reports up to a click at the marker point.
  std::vector<std::string> linesUpToMarker() {
    click({1800, 1000}, 0);
    auto lines = recorder_->untilLine("release 1 1800 1000");
    EXPECT_TRUE(lines) << "the marker click never arrived";
    if (!lines) return {};
    std::vector<std::string> out;
    for (const auto& l : *lines) {
      if (l != "press 1 1800 1000" && l != "release 1 1800 1000") out.push_back(l);
    }
    return out;
  }

  static MutterSession* session_;
  std::unique_ptr<GnomePasteboard> pasteboard_;
  std::unique_ptr<GnomeInput> input_;
  std::unique_ptr<Recorder> recorder_;
  bool settled_ = false;
};

MutterSession* GnomeInputTest::session_ = nullptr;

TEST_F(GnomeInputTest, ButtonsLandWhereSent) {
  struct Case {
    Point at;
    int button;
    std::string press, release;
  };
  const Case cases[] = {
      {{320, 700}, 0, "press 1 320 700", "release 1 320 700"},
      {{1500, 200}, 1, "press 3 1500 200", "release 3 1500 200"},
      {{100, 1000}, 2, "press 2 100 1000", "release 2 100 1000"},
      // Beyond the monitor: held at its edge.
      {{2500, 1200}, 0, "press 1 1919 1079", "release 1 1919 1079"},
  };
  for (const auto& c : cases) {
    click(c.at, c.button);
    auto lines = recorder_->untilLine(c.release);
    ASSERT_TRUE(lines) << c.release;
    EXPECT_EQ(std::vector<std::string>({c.press, c.release}), *lines);
  }
  auto at = input_->cursorLocation();
  ASSERT_TRUE(at);
  EXPECT_EQ((Point{1919, 1079}), *at);
}

TEST_F(GnomeInputTest, WheelGivesWholeClicksInTheHostsDirections) {
  struct Case {
    std::vector<ScrollEvent> scrolls;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{{30, 0}}, {"scroll up"}},
      {{{-60, 0}}, {"scroll down", "scroll down"}},
      {{{0, 30}}, {"scroll left"}},
      {{{0, -30}}, {"scroll right"}},
      // Pixels add up to a click; a turn of direction starts afresh.
      {{{10, 0}, {10, 0}, {10, 0}}, {"scroll up"}},
      {{{20, 0}, {-20, 0}, {20, 0}}, {}},
  };
  for (const auto& c : cases) {
    // A fresh adapter each: its accumulators start empty.
    input_ = std::make_unique<GnomeInput>(session_->desktop, nullptr, session_->logger("input"));
    input_->postMouse({MouseEventType::moved, 0, {700, 700}});
    for (const auto& s : c.scrolls) ASSERT_TRUE(input_->postScroll(s));
    EXPECT_EQ(c.expected, linesUpToMarker()) << c.scrolls.front().vertical << "," << c.scrolls.front().horizontal;
  }
}

TEST_F(GnomeInputTest, KeysByPositionAndTextByKeysym) {
  // A, shift+B by position (virtual codes 0, 11; shift 56).
  for (auto [code, down] : std::vector<std::pair<std::uint16_t, bool>>{{0, true}, {0, false}, {56, true}, {11, true}, {11, false}, {56, false}}) {
    ASSERT_TRUE(input_->postKey({code, down}));
  }
  ASSERT_TRUE(recorder_->untilLine(textLine(U"aB")));
  ASSERT_TRUE(input_->postText({true, u" Hello, World!"}));
  EXPECT_TRUE(recorder_->untilLine(textLine(U"aB Hello, World!")));
}

TEST_F(GnomeInputTest, CharactersWithoutKeysArePastedAndTheClipboardComesBack) {
  auto initial = pasteboard_->changeCount();
  recorder_->send("copy keep-me");
  ASSERT_TRUE(recorder_->untilLine("copied"));
  for (int i = 0; i < 100 && pasteboard_->changeCount() == initial; ++i) std::this_thread::sleep_for(20ms);
  auto before = pasteboard_->changeCount();
  ASSERT_NE(initial, before) << "the window's copy was not seen";
  std::u32string expected;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(input_->postText({true, u"wörld ✓"})) << i;
    expected += U"wörld ✓";
    ASSERT_TRUE(recorder_->untilLine(textLine(expected))) << "round " << i;
  }
  recorder_->send("paste");
  EXPECT_TRUE(recorder_->untilLine("clipboard 6b 65 65 70 2d 6d 65")) << "the user's clipboard was not put back";
  EXPECT_EQ(before, pasteboard_->changeCount()) << "the paste route moved the change count";
}

TEST_F(GnomeInputTest, DisplaysAreMuttersMonitors) {
  auto displays = input_->activeDisplays();
  ASSERT_EQ(1u, displays.size());
  EXPECT_EQ((Rect{0, 0, 1920, 1080}), displays[0].bounds);
  EXPECT_TRUE(displays[0].isMain);
  EXPECT_NE(0u, displays[0].id);
}

TEST_F(GnomeInputTest, InputComesBackAfterMutterClosesTheSession) {
  std::string first = session_->desktop->sessionPath();
  ASSERT_FALSE(first.empty());
  // Stopping it from our side looks to us like Mutter closing it.
  ASSERT_TRUE(session_->desktop->call(MutterRemoteDesktop::kRemoteDesktopName, first, MutterRemoteDesktop::kSessionInterface,
                                      "Stop", nullptr, nullptr));
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline &&
         (session_->desktop->sessionPath().empty() || session_->desktop->sessionPath() == first)) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_NE(first, session_->desktop->sessionPath());
  // The new session's first motion and first press must not be lost.
  click({400, 300}, 0);
  EXPECT_EQ(std::vector<std::string>({"press 1 400 300", "release 1 400 300"}), linesUpToMarker());
}

}  // namespace
}  // namespace tillerpad::platform::gnome::test

namespace tillerpad::platform::gnome::test {
namespace {

TEST(GnomeBackend, OpensOnlyWhereMutterAnswers) {
  kit::Logger quiet;
  BackendContext context{[&](std::string) { return quiet; }};
  {
    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus");
    EXPECT_FALSE(openGnomeBackend(context));
  }
  MutterSession session;
  if (!session.whyNot.empty()) GTEST_SKIP() << session.whyNot;
  auto backend = openGnomeBackend(context);
  ASSERT_TRUE(backend);
  EXPECT_EQ("gnome", backend->name());
  ASSERT_TRUE(backend->permissions());
  EXPECT_TRUE(backend->permissions()->canSynthesizeInput());
  EXPECT_TRUE(backend->permissions()->canCaptureScreen());
  EXPECT_TRUE(backend->input() && backend->displays() && backend->screenCapture() && backend->pasteboard());
  EXPECT_EQ(1u, backend->displays()->activeDisplays().size());
}

}  // namespace
}  // namespace tillerpad::platform::gnome::test
