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

  std::shared_ptr<ScreenStreamer> make() {
    return ScreenStreamer::create({io.get_executor(), clock, capture, test::fakeEncoders(encoders), changes,
                                   kit::Logger(log, "app", "screen")},
                                  [this](Message m) {
                                    std::lock_guard lock(mutex);
                                    sent.push_back(std::move(m));
                                  });
  }
  void drain() { kit::testing::drain(io); }
  void advance(kit::Clock::Duration by) {
    clock->advance(by);
    drain();
  }
  std::vector<Message> sentOf(MessageType type) {
    std::lock_guard lock(mutex);
    std::vector<Message> out;
    for (const auto& m : sent) {
      if (m.is(type)) out.push_back(m);
    }
    return out;
  }
  std::vector<Kind> kinds() {
    std::vector<Kind> out;
    for (const auto& c : capture.calls()) out.push_back(c.kind);
    return out;
  }
  std::size_t count(Kind kind) {
    auto k = kinds();
    return static_cast<std::size_t>(std::count(k.begin(), k.end(), kind));
  }
  // Runs frames through the current pump until the phone's side has them.
  void frame() {
    ASSERT_TRUE(capture.deliverFrame(8, 4));
    ASSERT_TRUE(streamer->pump()->waitIdle(5s));
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
  struct Case {
    std::optional<std::uint32_t> requested;
    std::vector<CaptureDisplay> displays;
    std::uint32_t chosen;
    int width, height;
  };
  auto noMain = desk;
  for (auto& d : noMain) d.isMain = false;
  const Case cases[] = {
      {std::nullopt, desk, 10, 1280, 830},  // 982 × 1280 / 1512 = 831.3: 831, made even
      {20, desk, 20, 1280, 720},
      {30, desk, 30, 1280, 896},  // unreadable mode: twice 1000 px wide, so 1280 fits
      {99, desk, 10, 1280, 830},  // no such display: the main one
      {std::nullopt, noMain, 30, 1280, 896},  // no main display: the platform's first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested.value_or(0));
    log = std::make_shared<kit::RecordingLogSink>();
    capture.setDisplays(c.displays);
    auto s = make();
    s->start({c.requested, 1920, 30});
    drain();
    ASSERT_TRUE(s->isStreaming());
    EXPECT_EQ(s->streamedDisplay(), c.chosen);
    auto last = capture.calls().back();
    EXPECT_EQ(last.kind, Kind::start);
    EXPECT_EQ(last.config, (platform::CaptureConfig{c.chosen, c.width, c.height, 0.1, true}));
    EXPECT_EQ(log->count("Streaming display " + std::to_string(c.chosen) + " at " + std::to_string(c.width) + "×" +
                         std::to_string(c.height)),
              1u);
    auto info = sentOf(MessageType::screenInfo).back().get<MessageType::screenInfo>();
    EXPECT_EQ(info.displayID, c.chosen);
    s->stop();
    drain();
  }
  // Main first, then from left to right; a display without a name is "Display".
  auto info = sentOf(MessageType::screenInfo).front().get<MessageType::screenInfo>();
  EXPECT_EQ(info.displays, (std::vector<kit::DisplayInfo>{{10, "Built-in", 1512, 982, true},
                                                          {20, "Side", 1920, 1080, false},
                                                          {30, "Display", 1000, 700, false}}));
}

TEST_F(ScreenStreamerTest, ACaptureThatCannotStartIsReportedAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string description;
  };
  const Case cases[] = {
      {"no display", [this] { capture.setDisplays({}); }, describe(CaptureError::noDisplay)},
      {"start fails", [this] { capture.failNextStart("not allowed"); }, "not allowed"},
      {"no encoder", [this] { streamer = ScreenStreamer::create({io.get_executor(), clock, capture, {}, changes,
                                                               kit::Logger(log, "app", "screen")},
                                                              [this](Message m) { sent.push_back(m); }); },
       "No JPEG encoder is available."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log = std::make_shared<kit::RecordingLogSink>();
    capture.setDisplays(desk);
    streamer = make();
    c.arrange();
    sent.clear();
    streamer->start({std::nullopt, 1280, 10});
    drain();
    EXPECT_FALSE(streamer->isStreaming());
    EXPECT_FALSE(streamer->pump());
    EXPECT_TRUE(streamer->request());  // only a new request tries again
    EXPECT_FALSE(capture.hasDisplaysChangedHandler());
    EXPECT_EQ(capture.liveStreams(), 0);
    EXPECT_EQ(sentOf(MessageType::error),
              std::vector<Message>{Message::error({kit::ErrorCode::screenCaptureFailed, c.description})});
    EXPECT_EQ(log->count("Screen capture failed: " + c.description), 1u);
  }
}

TEST_F(ScreenStreamerTest, QuickStartsRunOneAfterTheOtherAndTheSecondHasTheNextEpoch) {
  capture.hold(true);
  streamer->start({std::nullopt, 1920, 30});
  streamer->start({20, 1920, 30});
  drain();
  while (capture.releaseOne()) drain();
  EXPECT_EQ(capture.mostHeldAtOnce(), 1u);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::list, Kind::start, Kind::stop, Kind::list, Kind::start}));
  EXPECT_EQ(capture.liveStreams(), 1);
  EXPECT_EQ(streamer->streamedDisplay(), 20u);
  EXPECT_EQ(streamer->epoch(), 2u);
  EXPECT_EQ(sentOf(MessageType::screenInfo).size(), 2u);

  capture.hold(false);
  frame();
  auto frames = sentOf(MessageType::screenFrame);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].get<MessageType::screenFrame>().frameID, 8'589'934'593u);
  EXPECT_EQ(frames[0].get<MessageType::screenFrame>().displayID, 20u);
}

// A pump decides to go down a level; only the current capture's pump counts.
TEST_F(ScreenStreamerTest, OnlyTheCurrentPumpReconfiguresTheCapture) {
  for (bool current : {true, false}) {
    SCOPED_TRACE(current);
    streamer = make();
    streamer->start({std::nullopt, 1920, 30});
    drain();
    auto pump = streamer->pump();
    if (!current) {
      streamer->start({std::nullopt, 1920, 30});
      drain();
    }
    auto before = count(Kind::update);
    pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, std::vector<std::uint8_t>(128)}));
    ASSERT_TRUE(pump->waitIdle(5s));
    advance(3500ms);  // unanswered: expires, which makes the window slow
    pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, std::vector<std::uint8_t>(128)}));
    ASSERT_TRUE(pump->waitIdle(5s));
    drain();
    EXPECT_EQ(count(Kind::update) - before, current ? 1u : 0u);
    if (current) {
      EXPECT_EQ(capture.calls().back().config, (platform::CaptureConfig{10, 960, 622, 0.1, true}));
    }
  }
  // A failed update is logged; the capture goes on.
  capture.failNextUpdate("busy");
  auto pump = streamer->pump();
  pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, std::vector<std::uint8_t>(128)}));
  ASSERT_TRUE(pump->waitIdle(5s));
  advance(3500ms);
  pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, std::vector<std::uint8_t>(128)}));
  ASSERT_TRUE(pump->waitIdle(5s));
  drain();
  EXPECT_EQ(log->count("Could not reconfigure the stream: busy"), 1u);
  EXPECT_TRUE(streamer->isStreaming());
}

TEST_F(ScreenStreamerTest, ABurstOfDisplayChangesRestartsOnceHalfASecondAfterTheLast) {
  streamer->start({20, 1920, 30});
  drain();
  ASSERT_TRUE(capture.hasDisplaysChangedHandler());
  for (int i = 0; i < 3; ++i) {
    if (i > 0) advance(100ms);
    capture.changeDisplays();
    drain();
  }
  // The display asked for is gone meanwhile: the restart falls back to the main one.
  capture.setDisplays({desk[2]});
  advance(499ms);
  EXPECT_EQ(count(Kind::start), 1u);
  advance(1ms);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::list, Kind::start, Kind::stop, Kind::list, Kind::start}));
  EXPECT_EQ(streamer->streamedDisplay(), 10u);
  EXPECT_EQ(sentOf(MessageType::screenInfo).back(), Message::screenInfo({{{10, "Built-in", 1512, 982, true}}, 10}));
  advance(2s);
  EXPECT_EQ(count(Kind::start), 2u);

  // Stopped: display changes no longer restart anything.
  streamer->stop();
  drain();
  EXPECT_FALSE(capture.hasDisplaysChangedHandler());
  capture.changeDisplays();
  advance(1s);
  EXPECT_EQ(count(Kind::start), 2u);
}

TEST_F(ScreenStreamerTest, APlatformStopIsReportedAndNotRestarted) {
  for (bool byUser : {false, true}) {
    SCOPED_TRACE(byUser);
    log = std::make_shared<kit::RecordingLogSink>();
    streamer = make();
    sent.clear();
    streamer->start({std::nullopt, 1920, 30});
    drain();
    auto starts = count(Kind::start);
    ASSERT_TRUE(capture.stopByPlatform({"the display went away", byUser}));
    drain();
    EXPECT_EQ(log->count("Screen capture stopped: the display went away"), 1u);
    EXPECT_EQ(sentOf(MessageType::error),
              std::vector<Message>{Message::error({kit::ErrorCode::screenCaptureFailed, "the display went away"})});
    EXPECT_FALSE(streamer->isStreaming());
    EXPECT_FALSE(streamer->pump());
    // Only a user's stop forgets what the phone asked for.
    EXPECT_EQ(streamer->request().has_value(), !byUser);
    capture.changeDisplays();
    advance(1s);
    EXPECT_EQ(count(Kind::start), starts);
  }
}

}  // namespace
}  // namespace tillerpad::host
