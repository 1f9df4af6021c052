#include "host/screen/frame_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "tests/support/fake_jpeg_encoder.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::MessageType;

constexpr std::uint64_t id(std::uint32_t epoch, std::uint32_t sequence) {
  return kit::ScreenFrame::makeFrameID(epoch, sequence);
}

class FramePumpTest : public ::testing::Test {
 protected:
  void SetUp() override { make(1); }

  void make(std::uint32_t epoch) {
    pump.reset();
    pump = std::make_shared<FramePump>(
        epoch, 7, kit::ScreenQualityController(1920, 30, now.load()), std::make_unique<test::FakeJpegEncoder>(encoders),
        [this] { return now.load(); },
        FramePump::Callbacks{[this](kit::Message m) {
                               std::lock_guard lock(mutex);
                               sent.push_back(m.get<MessageType::screenFrame>());
                             },
                             [this](kit::StreamSettings s) {
                               std::lock_guard lock(mutex);
                               reconfigured.push_back(s);
                             },
                             [](platform::CaptureStop) {}},
        kit::Logger(log, "app", "screen"));
  }

  // A frame whose first byte is `shade`, counted while someone holds it.
  void deliver(std::uint8_t shade) {
    ++alive;
    platform::FrameRef frame(new platform::CapturedFrame{4, 2, 16, std::vector<std::uint8_t>(32, shade)},
                             [this](const platform::CapturedFrame* f) {
                               --alive;
                               delete f;
                             });
    pump->frame(std::move(frame));
    ASSERT_TRUE(pump->waitIdle(5s));
  }
  void ack(std::uint64_t frameID) {
    pump->ack(frameID);
    ASSERT_TRUE(pump->waitIdle(5s));
  }
  std::vector<std::uint64_t> sentIDs() {
    std::lock_guard lock(mutex);
    std::vector<std::uint64_t> ids;
    for (const auto& f : sent) ids.push_back(f.frameID);
    return ids;
  }
  std::uint8_t shadeOf(std::size_t index) {
    std::lock_guard lock(mutex);
    return sent.at(index).jpeg.data.at(6);
  }
  FramePump::Snapshot state() {
    auto s = pump->snapshot(5s);
    if (!s) throw std::runtime_error("the pump did not answer");
    return *s;
  }

  std::atomic<double> now{1000};
  std::atomic<int> alive{0};
  std::shared_ptr<test::EncoderLog> encoders = std::make_shared<test::EncoderLog>();
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::mutex mutex;
  std::vector<kit::ScreenFrame> sent;
  std::vector<kit::StreamSettings> reconfigured;
  std::shared_ptr<FramePump> pump;
};

TEST_F(FramePumpTest, TwoInFlightThenOnlyTheNewestWaitsAndAnAckSendsIt) {
  for (std::uint8_t shade = 1; shade <= 5; ++shade) deliver(shade);
  EXPECT_EQ(sentIDs(), (std::vector<std::uint64_t>{id(1, 1), id(1, 2)}));
  auto s = state();
  EXPECT_TRUE(s.pending);
  EXPECT_EQ(s.skipped, 2);  // frames 4 and 5 each replaced a waiting frame
  EXPECT_EQ(alive.load(), 1);  // the replaced frames went back to the capture
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(sent[0].displayID, 7u);
    EXPECT_EQ(sent[0].pixelWidth, 4);
    EXPECT_EQ(sent[0].pixelHeight, 2);
  }

  now = 1000.1;
  ack(id(1, 1));
  EXPECT_EQ(sentIDs(), (std::vector<std::uint64_t>{id(1, 1), id(1, 2), id(1, 3)}));
  EXPECT_EQ(shadeOf(2), 5);  // the newest frame, not the first that waited
  s = state();
  EXPECT_FALSE(s.pending);
  EXPECT_EQ(alive.load(), 0);
  ASSERT_EQ(s.roundTrips.size(), 1u);
  EXPECT_NEAR(s.roundTrips[0], 0.1, 1e-9);
  EXPECT_EQ(s.inFlight, (std::vector<std::uint64_t>{id(1, 2), id(1, 3)}));
}

TEST_F(FramePumpTest, OnlyTheFirstAckOfAFrameCounts) {
  deliver(1);
  deliver(2);
  deliver(3);  // waits
  ack(id(1, 1));
  deliver(4);  // waits again: frames 2 and 3 are out
  for (auto unknown : {id(1, 1), id(1, 9), id(0, 2), id(2, 2)}) ack(unknown);
  EXPECT_EQ(sentIDs().size(), 3u);
  auto s = state();
  EXPECT_TRUE(s.pending);
  EXPECT_EQ(s.roundTrips.size(), 1u);
  ack(id(1, 2));
  EXPECT_EQ(sentIDs().back(), id(1, 4));
  EXPECT_EQ(state().roundTrips.size(), 2u);
}

TEST_F(FramePumpTest, FramesUnansweredForThreeSecondsFreeTheirSlots) {
  deliver(1);
  deliver(2);
  now = 1003.0;  // exactly 3 s: still in flight
  deliver(3);
  EXPECT_EQ(sentIDs().size(), 2u);
  EXPECT_TRUE(state().pending);
  now = 1003.01;
  deliver(4);
  EXPECT_EQ(sentIDs(), (std::vector<std::uint64_t>{id(1, 1), id(1, 2), id(1, 3)}));
  auto s = state();
  EXPECT_EQ(s.roundTrips, (std::vector<double>{3.0, 3.0}));
  EXPECT_EQ(s.inFlight, std::vector<std::uint64_t>{id(1, 3)});
  // Frame 3, older than the one just sent, no longer waits: it would follow
  // a newer picture.
  EXPECT_FALSE(s.pending);
  EXPECT_EQ(alive.load(), 0);
  // A late answer for an expired frame is ignored.
  ack(id(1, 1));
  EXPECT_EQ(state().roundTrips.size(), 2u);
  ack(id(1, 3));
  EXPECT_EQ(sentIDs().size(), 3u);
}

TEST_F(FramePumpTest, QualityDecisionsAreLoggedReportedAndUsedForTheNextFrame) {
  // Two windows of quick answers: one level up.
  for (int window = 0; window < 2; ++window) {
    deliver(1);
    ack(sentIDs().back());
    now = now + 1.5;
  }
  deliver(2);  // closes the second window, then...
  deliver(3);  // ...is encoded at the new quality
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(reconfigured, (std::vector<kit::StreamSettings>{{1280, 15, 0.55}}));
  }
  EXPECT_EQ(log->count("Screen stream: 1280 px, 15 fps, quality 0.550000"), 1u);
  EXPECT_EQ(encoders->taken(), (std::vector<double>{0.5, 0.5, 0.5, 0.55}));

  // Nothing answered for long: expiries degrade it again.
  now = now + 3.5;
  deliver(4);
  now = now + 1.5;
  deliver(5);
  std::lock_guard lock(mutex);
  ASSERT_EQ(reconfigured.size(), 2u);
  EXPECT_EQ(reconfigured[1], (kit::StreamSettings{1280, 10, 0.5}));
}

TEST_F(FramePumpTest, AFrameThatCannotBeEncodedIsDroppedWithoutUsingASequenceNumber) {
  encoders->failNext(1);
  deliver(1);
  EXPECT_TRUE(sentIDs().empty());
  EXPECT_EQ(log->count("JPEG encoding failed"), 1u);
  auto s = state();
  EXPECT_EQ(s.sequence, 0u);
  EXPECT_TRUE(s.inFlight.empty());
  deliver(2);
  EXPECT_EQ(sentIDs(), std::vector<std::uint64_t>{id(1, 1)});
}

TEST_F(FramePumpTest, AGonePumpSendsNothingMoreAndLetsItsFramesGo) {
  deliver(1);
  deliver(2);
  deliver(3);  // waits
  auto handlers = pump->handlers();
  pump.reset();
  EXPECT_EQ(alive.load(), 0);
  // The capture may still deliver a frame it had on its way.
  handlers.frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{4, 2, 16, std::vector<std::uint8_t>(32, 9)}));
  EXPECT_EQ(sentIDs().size(), 2u);
}

}  // namespace
}  // namespace tillerpad::host
