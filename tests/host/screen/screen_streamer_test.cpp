#include "host/screen/screen_streamer.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/fake/fake_screen_capture.h"
#include "tests/kit/transport/async_test.h"
#include "tests/support/fake_jpeg_encoder.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;
using kit::MessageType;
using platform::CaptureConfig;
using platform::CaptureDisplay;
using Kind = platform::fake::FakeScreenCapture::Kind;

// As the platform lists them: the main display is not first.
const std::vector<CaptureDisplay> desk{
    {30, "", 1000, 700, 0, false, 1512},  // a mode that cannot be read
    {20, "Side", 1920, 1080, 1920, false, -1920},
    {10, "Built-in", 1512, 982, 3024, true, 0},
};

class ScreenStreamerTest : public ::testing::Test {
 protected:
  void SetUp() override { capture.setDisplays(desk); }
  std::shared_ptr<ScreenStreamer> make(bool withEncoder = true) {
    return ScreenStreamer::create({io.get_executor(), clock, capture,
                                   withEncoder ? test::fakeEncoders(encoders) : JpegEncoderFactory{}, changes,
                                   kit::Logger(log, "app", "screen")},
                                  [this](Message m) {
                                    std::lock_guard lock(mutex);
                                    sent.push_back(std::move(m));
                                  });
  }
  void advance(kit::Clock::Duration by) {
    clock->advance(by);
    kit::testing::drain(io);
  }
  std::vector<Message> sentOf(MessageType type) {
    std::lock_guard lock(mutex);
    std::vector<Message> out;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(out), [type](const Message& m) { return m.is(type); });
    return out;
  }
  std::vector<Kind> kinds() {
    std::vector<Kind> out;
    for (const auto& c : capture.calls()) out.push_back(c.kind);
    return out;
  }
  long count(Kind kind) {
    auto k = kinds();
    return std::count(k.begin(), k.end(), kind);
  }

  asio::io_context io;
  std::shared_ptr<kit::ManualClock> clock = std::make_shared<kit::ManualClock>();
  platform::fake::FakeScreenCapture capture;
  std::shared_ptr<DisplayChanges> changes = DisplayChanges::create(capture, io.get_executor());
  std::shared_ptr<test::EncoderLog> encoders = std::make_shared<test::EncoderLog>();
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::mutex mutex;
  std::vector<Message> sent;
  std::shared_ptr<ScreenStreamer> streamer = make();
};

TEST_F(ScreenStreamerTest, ChoosesTheDisplayAndSizesTheCapture) {
  auto noMain = desk;
  for (auto& d : noMain) d.isMain = false;
  const struct {
    std::optional<std::uint32_t> requested;
    std::vector<CaptureDisplay> displays;
    CaptureConfig expected;
  } cases[] = {
      {std::nullopt, desk, {10, 1280, 830, 0.1, true}},  // 982 × 1280 / 1512 = 831.3: 831, made even
      {30, desk, {30, 1280, 896, 0.1, true}},            // unreadable mode: twice 1000 px wide, so 1280 fits
      {99, desk, {10, 1280, 830, 0.1, true}},            // no such display: the main one
      {std::nullopt, noMain, {30, 1280, 896, 0.1, true}},  // no main display: the platform's first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested.value_or(0));
    capture.setDisplays(c.displays);
    streamer->start({c.requested, 1920, 30});
    advance(0s);
    EXPECT_EQ(capture.calls().back().config, c.expected);
    EXPECT_EQ(sentOf(MessageType::screenInfo).back().get<MessageType::screenInfo>().displayID, c.expected.displayID);
  }
  // Main first, then from left to right; a display without a name is "Display".
  EXPECT_EQ(sentOf(MessageType::screenInfo).front().get<MessageType::screenInfo>().displays,
            (std::vector<kit::DisplayInfo>{{10, "Built-in", 1512, 982, true},
                                           {20, "Side", 1920, 1080, false},
                                           {30, "Display", 1000, 700, false}}));
}

// Whether the capture cannot start or the platform ends it: the phone and the
// log are told, nothing is left running, and display changes restart nothing.
TEST_F(ScreenStreamerTest, ACaptureThatFailsOrEndsIsReportedAndLeavesNothingBehind) {
  auto platformStop = [this](bool byUser) {
    return [this, byUser] { ASSERT_TRUE(capture.stopByPlatform({"the display went away", byUser})); };
  };
  const struct {
    const char* name;
    std::function<void()> beforeStart, afterStart;
    std::string logged;
    bool requestKept;  // only a user's stop forgets what the phone asked for
  } cases[] = {
      {"no display", [this] { capture.setDisplays({}); }, {}, "failed: " + describe(CaptureError::noDisplay), true},
      {"start fails", [this] { capture.failNextStart("not allowed"); }, {}, "failed: not allowed", true},
      {"no encoder", [this] { streamer = make(false); }, {}, "failed: No JPEG encoder is available.", true},
      {"the platform ends it", {}, platformStop(false), "stopped: the display went away", true},
      {"the user ends it", {}, platformStop(true), "stopped: the display went away", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture.setDisplays(desk);
    log = std::make_shared<kit::RecordingLogSink>();
    streamer = make();
    if (c.beforeStart) c.beforeStart();
    sent.clear();
    streamer->start({std::nullopt, 1280, 10});
    advance(0s);
    auto starts = count(Kind::start);
    if (c.afterStart) c.afterStart();
    advance(0s);
    EXPECT_FALSE(streamer->isStreaming() || streamer->pump() || capture.liveStreams() > 0);
    EXPECT_EQ(streamer->request().has_value(), c.requestKept);
    auto description = c.logged.substr(c.logged.find(": ") + 2);
    EXPECT_EQ(sentOf(MessageType::error),
              std::vector<Message>{Message::error({kit::ErrorCode::screenCaptureFailed, description})});
    EXPECT_EQ(log->count("Screen capture " + c.logged), 1u);
    EXPECT_FALSE(capture.hasDisplaysChangedHandler());
    capture.changeDisplays();
    advance(1s);
    EXPECT_EQ(count(Kind::start), starts);
  }
}

TEST_F(ScreenStreamerTest, QuickStartsRunOneAfterTheOtherAndTheSecondHasTheNextEpoch) {
  capture.hold(true);
  streamer->start({std::nullopt, 1920, 30});
  streamer->start({20, 1920, 30});
  advance(0s);
  while (capture.releaseOne()) advance(0s);
  EXPECT_EQ(capture.mostHeldAtOnce(), 1u);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::list, Kind::start, Kind::stop, Kind::list, Kind::start}));
  EXPECT_EQ(capture.liveStreams(), 1);
  EXPECT_EQ(sentOf(MessageType::screenInfo).size(), 2u);
  capture.hold(false);
  ASSERT_TRUE(capture.deliverFrame(8, 4));
  ASSERT_TRUE(streamer->pump()->waitIdle(5s));
  auto frames = sentOf(MessageType::screenFrame);
  ASSERT_EQ(frames.size(), 1u);
  auto frame = frames[0].get<MessageType::screenFrame>();
  EXPECT_EQ(std::pair(frame.frameID, frame.displayID), std::pair(kit::ScreenFrame::makeFrameID(2, 1), 20u));
}

// A pump decides to go down a level; only the current capture's pump counts,
// and a failed update is logged while the capture goes on.
TEST_F(ScreenStreamerTest, OnlyTheCurrentPumpReconfiguresTheCapture) {
  // A frame, then after 3.5 s unanswered another: the window was slow.
  auto slowWindow = [this](const std::shared_ptr<FramePump>& pump) {
    for (int i = 0; i < 2; ++i) {
      clock->advance(i * 3500ms);
      pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, {}}));
      ASSERT_TRUE(pump->waitIdle(5s));
    }
    advance(0s);
  };
  for (bool current : {true, false}) {
    SCOPED_TRACE(current);
    streamer = make();
    streamer->start({std::nullopt, 1920, 30});
    advance(0s);
    auto pump = streamer->pump();
    if (!current) streamer->start({std::nullopt, 1920, 30});
    advance(0s);
    auto before = count(Kind::update);
    slowWindow(pump);
    EXPECT_EQ(count(Kind::update) - before, current ? 1 : 0);
    if (current) EXPECT_EQ(capture.calls().back().config, (CaptureConfig{10, 960, 622, 0.1, true}));
  }
  // A failed update is logged; the capture goes on.
  capture.failNextUpdate("busy");
  slowWindow(streamer->pump());
  EXPECT_EQ(log->count("Could not reconfigure the stream: busy"), 1u);
  EXPECT_TRUE(streamer->isStreaming());
}

TEST_F(ScreenStreamerTest, ABurstOfDisplayChangesRestartsOnceHalfASecondAfterTheLast) {
  streamer->start({20, 1920, 30});
  advance(0s);
  for (int i = 0; i < 3; ++i) {
    advance(i ? 100ms : 0ms);
    capture.changeDisplays();
    advance(0s);
  }
  // The display asked for is gone meanwhile: the restart falls back to the main one.
  capture.setDisplays({desk[2]});
  advance(499ms);
  EXPECT_EQ(count(Kind::start), 1);
  advance(1ms);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::list, Kind::start, Kind::stop, Kind::list, Kind::start}));
  EXPECT_EQ(sentOf(MessageType::screenInfo).back(), Message::screenInfo({{{10, "Built-in", 1512, 982, true}}, 10}));
  advance(2s);
  EXPECT_EQ(count(Kind::start), 2);
}

}  // namespace
}  // namespace tillerpad::host
