#include "host/screen/screen_streamer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "platform/fake/fake_screen_capture.h"
#include "tests/kit/transport/async_test.h"
#include "tests/support/fake_jpeg_encoder.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message, kit::MessageType, platform::CaptureConfig, platform::CaptureDisplay;
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
                                  [this](Message m) { std::lock_guard lock(mutex); sent.push_back(std::move(m)); });
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
  long count(Kind kind) { return std::ranges::count(kinds(), kind); }
  // A fresh streamer's first capture (epoch 1) of the main display, and what it sends from now on.
  void startFresh() {
    streamer = make();
    streamer->start({std::nullopt, 1920, 30});
    advance(0s);
    sent.clear();
  }
  // Frames in turn through the capture to the pump, each told by its first
  // byte (which the fake encoder sends on).
  void deliver(std::initializer_list<std::uint8_t> shades) {
    for (std::uint8_t shade : shades) {
      ASSERT_TRUE(capture.deliverFrame(4, 2, shade));
      ASSERT_TRUE(streamer->pump()->waitIdle(5s));
    }
  }
  void ack(std::uint32_t sequence, std::uint32_t epoch = 1) {
    streamer->pump()->ack(kit::ScreenFrame::makeFrameID(epoch, sequence));
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
    if (c.afterStart) c.afterStart();
    advance(0s);
    EXPECT_FALSE(streamer->isStreaming() || streamer->pump() || capture.liveStreams() > 0);
    EXPECT_EQ(streamer->request().has_value(), c.requestKept);
    auto description = c.logged.substr(c.logged.find(": ") + 2);
    EXPECT_EQ(sentOf(MessageType::error),
              std::vector<Message>{Message::error({kit::ErrorCode::screenCaptureFailed, description})});
    EXPECT_EQ(log->count("Screen capture " + c.logged), 1u);
    EXPECT_FALSE(capture.hasDisplaysChangedHandler());  // so display changes restart nothing
  }
}

// Quick starts run one after the other, each with the next epoch; a burst of
// display changes restarts once, half a second after the last.
TEST_F(ScreenStreamerTest, StartsAndRestartsRunOneAfterTheOther) {
  capture.hold(true);
  streamer->start({std::nullopt, 1920, 30});
  streamer->start({20, 1920, 30});
  advance(0s);
  while (capture.releaseOne()) advance(0s);
  capture.hold(false);
  EXPECT_EQ(capture.mostHeldAtOnce(), 1u);
  EXPECT_EQ(std::pair(streamer->epoch(), streamer->streamedDisplay()), std::pair(2u, std::optional(20u)));
  for (auto wait : {0ms, 100ms, 100ms}) {
    advance(wait);
    capture.changeDisplays();
    advance(0s);
  }
  capture.setDisplays({desk[2]});  // display 20 is gone meanwhile: the restart takes the main one
  advance(499ms);
  EXPECT_EQ(count(Kind::start), 2);
  advance(1ms);
  EXPECT_EQ(count(Kind::start), 3);
  advance(2s);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::list, Kind::start, Kind::stop, Kind::list, Kind::start, Kind::stop,
                                        Kind::list, Kind::start}));
  EXPECT_EQ(capture.liveStreams(), 1);
  EXPECT_EQ(sentOf(MessageType::screenInfo).size(), 3u);
  EXPECT_EQ(sentOf(MessageType::screenInfo).back(), Message::screenInfo({{{10, "Built-in", 1512, 982, true}}, 10}));
}

TEST_F(ScreenStreamerTest, TwoFramesInFlightOnlyTheNewestWaitsAndAFirstAckOrAnExpiryFreesASlot) {
  const struct {
    const char* name;
    std::function<void()> run;
    std::vector<std::uint64_t> sent;  // sequences of capture 1
    std::uint8_t lastShade;           // which frame went last
    std::vector<std::uint64_t> inFlight;
    bool pending;
    int skipped;
    std::vector<double> roundTrips;
    int held;  // frames the pump still holds
  } cases[] = {
      {"five frames: two go, the newest waits, frames 4 and 5 each replaced a waiting one",
       [this] { deliver({1, 2, 3, 4, 5}); }, {1, 2}, 2, {1, 2}, true, 2, {}, 1},
      {"an ack sends the newest waiting frame as 3",
       [this] { deliver({1, 2, 3, 4, 5}); advance(500ms); ack(1); },
       {1, 2, 3}, 5, {2, 3}, false, 2, {0.5}, 0},
      {"repeated and unknown acks (of other sequences and captures) count nothing and send nothing",
       [this] {
         deliver({1, 2, 3}); ack(1); deliver({4});  // 4 waits again: 2 and 3 are out
         for (auto [sequence, epoch] : {std::pair{1u, 1u}, {9u, 1u}, {2u, 0u}, {2u, 2u}}) ack(sequence, epoch);
       },
       {1, 2, 3}, 3, {2, 3}, true, 0, {0.0}, 1},
      // At exactly 3 s frames 1 and 2 still take their slots, so frame 3
      // waits; just after, both expire and frame 4 goes. Frame 3, older, is
      // dropped: it would follow a newer picture. A late ack counts nothing.
      {"frames unanswered beyond 3 s free their slots",
       [this] { deliver({1, 2}); advance(3s); deliver({3}); advance(250ms); deliver({4}); ack(1); },
       {1, 2, 3}, 4, {3}, false, 0, {3.0, 3.0}, 0},
      {"a frame that cannot be encoded uses no sequence number",
       [this] { encoders->failures = 1; deliver({1, 2}); },
       {1}, 2, {1}, false, 0, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startFresh();
    c.run();
    auto state = streamer->pump()->snapshot(5s).value();
    std::vector<std::uint64_t> sequences;
    kit::ScreenFrame f;
    for (const auto& m : sentOf(MessageType::screenFrame)) {
      f = m.get<MessageType::screenFrame>();
      sequences.push_back(f.frameID - kit::ScreenFrame::makeFrameID(1, 0));
      EXPECT_EQ(std::tuple(f.displayID, f.pixelWidth, f.pixelHeight), std::tuple(10u, 4, 2));
    }
    for (auto& i : state.inFlight) i -= kit::ScreenFrame::makeFrameID(1, 0);
    EXPECT_EQ(log->count("JPEG encoding failed"), c.sent.size() == 1 ? 1u : 0u);
    EXPECT_EQ(std::tuple(sequences, f.jpeg.data.at(2), state.inFlight, state.pending, state.skipped, state.roundTrips,
                         capture.framesHeld()),
              std::tuple(c.sent, c.lastShade, c.inFlight, c.pending, c.skipped, c.roundTrips, c.held));
  }
}

// The current capture's pump decides; a replaced capture's no longer counts.
TEST_F(ScreenStreamerTest, QualityDecisionsAreLoggedAppliedAndUsedForTheNextFrame) {
  startFresh();
  auto first = streamer->pump();
  // Two windows of quick answers: one level up.
  for (std::uint32_t window = 1; window <= 2; ++window) {
    deliver({1});
    ack(window);
    advance(1500ms);
  }
  deliver({2, 3});  // the first closes the second window, the next is encoded at the new quality
  advance(0s);
  EXPECT_EQ(log->count("Screen stream: 1280 px, 15 fps, quality 0.550000"), 1u);
  {
    std::lock_guard lock(encoders->mutex);
    EXPECT_EQ(encoders->qualities, (std::vector<double>{0.5, 0.5, 0.5, 0.55}));
  }
  EXPECT_EQ(count(Kind::update), 1);
  // A frame, then after 3.5 s unanswered another: a slow window, one level down.
  auto slowWindow = [this](const std::shared_ptr<FramePump>& pump) {
    for (auto wait : {0ms, 3500ms}) {
      advance(wait);
      pump->frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{8, 4, 32, {}}));
      ASSERT_TRUE(pump->waitIdle(5s));
    }
    advance(0s);
  };
  streamer->start({std::nullopt, 1920, 30});
  advance(0s);
  slowWindow(first);
  EXPECT_EQ(count(Kind::update), 1);
  capture.failNextUpdate("busy");  // logged; the capture goes on
  slowWindow(streamer->pump());
  EXPECT_EQ(log->count("Could not reconfigure the stream: busy"), 1u);
  EXPECT_TRUE(streamer->isStreaming());
}

TEST_F(ScreenStreamerTest, AStoppedStreamSendsNothingMoreAndLetsItsFramesGo) {
  startFresh();
  deliver({1, 2, 3});  // the third waits
  auto handlers = streamer->pump()->handlers();
  streamer->stop();
  advance(0s);
  EXPECT_EQ(capture.framesHeld(), 0);
  // The capture may still deliver a frame it had on its way.
  handlers.frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{4, 2, 16, {}}));
  EXPECT_EQ(sentOf(MessageType::screenFrame).size(), 2u);
}

}  // namespace
}  // namespace tillerpad::host
