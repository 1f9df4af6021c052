#include "host/screen/frame_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "tests/support/fake_jpeg_encoder.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t id(std::uint32_t sequence) { return kit::ScreenFrame::makeFrameID(1, sequence); }

// The pump of capture 1 of display 7, on a clock and an encoder of the
// test's, and what it sent.
struct Pump {
  std::atomic<double> now{1000};
  std::atomic<int> alive{0};  // frames delivered and still held by someone
  std::shared_ptr<test::EncoderLog> encoders = std::make_shared<test::EncoderLog>();
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::mutex mutex;
  std::vector<kit::ScreenFrame> sent;
  std::vector<kit::StreamSettings> reconfigured;
  std::shared_ptr<FramePump> pump = std::make_shared<FramePump>(
      1, 7, kit::ScreenQualityController(1920, 30, now.load()), std::make_unique<test::FakeJpegEncoder>(encoders),
      [this] { return now.load(); },
      FramePump::Callbacks{[this](kit::Message m) {
                             std::lock_guard lock(mutex);
                             sent.push_back(m.get<kit::MessageType::screenFrame>());
                           },
                           [this](kit::StreamSettings s) {
                             std::lock_guard lock(mutex);
                             reconfigured.push_back(s);
                           },
                           [](platform::CaptureStop) {}},
      kit::Logger(log, "app", "screen"));

  // Frames in turn, each told by its first byte (which the fake encoder sends on).
  void deliver(std::initializer_list<std::uint8_t> shades) {
    for (std::uint8_t shade : shades) {
      ++alive;
      pump->frame(platform::FrameRef(new platform::CapturedFrame{4, 2, 16, std::vector<std::uint8_t>(32, shade)},
                                     [this](const platform::CapturedFrame* f) {
                                       --alive;
                                       delete f;
                                     }));
      ASSERT_TRUE(pump->waitIdle(5s));
    }
  }
  void ack(std::uint64_t frameID) {
    pump->ack(frameID);
    ASSERT_TRUE(pump->waitIdle(5s));
  }
  std::vector<kit::ScreenFrame> frames() {
    std::lock_guard lock(mutex);
    return sent;
  }
};

TEST(FramePumpTest, TwoFramesInFlightOnlyTheNewestWaitsAndAFirstAckOrAnExpiryFreesASlot) {
  const struct {
    const char* name;
    std::function<void(Pump&)> run;
    std::vector<std::uint64_t> sent;  // sequences of capture 1
    std::uint8_t lastShade;           // which frame went last
    std::vector<std::uint64_t> inFlight;
    bool pending;
    int skipped;
    std::vector<double> roundTrips;
    int held;  // frames the pump still holds
  } cases[] = {
      {"five frames: two go, the newest waits, frames 4 and 5 each replaced a waiting one",
       [](Pump& p) { p.deliver({1, 2, 3, 4, 5}); }, {1, 2}, 2, {1, 2}, true, 2, {}, 1},
      {"an ack sends the newest waiting frame as 3",
       [](Pump& p) {
         p.deliver({1, 2, 3, 4, 5});
         p.now = 1000.5;
         p.ack(id(1));
       },
       {1, 2, 3}, 5, {2, 3}, false, 2, {0.5}, 0},
      {"repeated and unknown acks count nothing and send nothing",
       [](Pump& p) {
         p.deliver({1, 2, 3});
         p.ack(id(1));
         p.deliver({4});  // waits again: 2 and 3 are out
         for (auto unknown : {id(1), id(9), kit::ScreenFrame::makeFrameID(0, 2), kit::ScreenFrame::makeFrameID(2, 2)}) {
           p.ack(unknown);
         }
       },
       {1, 2, 3}, 3, {2, 3}, true, 0, {0.0}, 1},
      // At exactly 3 s frames 1 and 2 still take their slots, so frame 3
      // waits; just after, both expire and frame 4 goes. Frame 3, older, is
      // dropped: it would follow a newer picture. A late ack counts nothing.
      {"frames unanswered beyond 3 s free their slots",
       [](Pump& p) {
         p.deliver({1, 2});
         p.now = 1003.0;
         p.deliver({3});
         p.now = 1003.25;
         p.deliver({4});
         p.ack(id(1));
       },
       {1, 2, 3}, 4, {3}, false, 0, {3.0, 3.0}, 0},
      {"a frame that cannot be encoded uses no sequence number",
       [](Pump& p) {
         p.encoders->failures = 1;
         p.deliver({1, 2});
         EXPECT_EQ(p.log->count("JPEG encoding failed"), 1u);
       },
       {1}, 2, {1}, false, 0, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pump p;
    c.run(p);
    auto frames = p.frames();
    auto state = p.pump->snapshot(5s).value();
    std::vector<std::uint64_t> sent;
    for (const auto& f : frames) {
      sent.push_back(f.frameID - id(0));
      EXPECT_EQ(std::tuple(f.displayID, f.pixelWidth, f.pixelHeight), std::tuple(7u, 4, 2));
    }
    for (auto& i : state.inFlight) i -= id(0);
    ASSERT_EQ(sent, c.sent);
    EXPECT_EQ(frames.back().jpeg.data.at(2), c.lastShade);
    EXPECT_EQ(std::tuple(state.inFlight, state.pending, state.skipped, state.roundTrips, p.alive.load()),
              std::tuple(c.inFlight, c.pending, c.skipped, c.roundTrips, c.held));
  }
}

TEST(FramePumpTest, QualityDecisionsAreLoggedReportedAndUsedForTheNextFrame) {
  Pump p;
  // Two windows of quick answers: one level up.
  for (int window = 0; window < 2; ++window) {
    p.deliver({1});
    p.ack(p.frames().back().frameID);
    p.now = p.now + 1.5;
  }
  p.deliver({2, 3});  // the first closes the second window, the next is encoded at the new quality
  EXPECT_EQ(p.log->count("Screen stream: 1280 px, 15 fps, quality 0.550000"), 1u);
  // Nothing answered for long: expiries degrade it again.
  p.now = p.now + 3.5;
  p.deliver({4});
  p.now = p.now + 1.5;
  p.deliver({5});
  std::scoped_lock lock(p.mutex, p.encoders->mutex);
  EXPECT_EQ(p.encoders->qualities, (std::vector<double>{0.5, 0.5, 0.5, 0.55, 0.55, 0.5}));
  EXPECT_EQ(p.reconfigured, (std::vector<kit::StreamSettings>{{1280, 15, 0.55}, {1280, 10, 0.5}}));
}

TEST(FramePumpTest, AGonePumpSendsNothingMoreAndLetsItsFramesGo) {
  Pump p;
  p.deliver({1, 2, 3});  // the third waits
  auto handlers = p.pump->handlers();
  p.pump.reset();
  EXPECT_EQ(p.alive.load(), 0);
  // The capture may still deliver a frame it had on its way.
  handlers.frame(std::make_shared<platform::CapturedFrame>(platform::CapturedFrame{4, 2, 16, {}}));
  EXPECT_EQ(p.frames().size(), 2u);
}

}  // namespace
}  // namespace tillerpad::host
