#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kit/input/click_counter.h"
#include "kit/input/pointer_acceleration.h"
#include "kit/input/scroll_momentum.h"
#include "kit/input/three_finger_swipe.h"

namespace tillerpad::kit {
namespace {

const InputSettings kDefaults = InputSettings::defaults();

TEST(PointerAcceleration, GainCurve) {
  struct Case {
    double speed;
    double gain;
  };
  const double top = 1.5 * (std::pow(5000.0 / 600, 1.25) + 1);
  for (Case c : {Case{-10, 1.5}, Case{0, 1.5}, Case{600, 3.0}, Case{5000, top}, Case{90000, top},
                 Case{std::numeric_limits<double>::quiet_NaN(), 1.5}}) {
    EXPECT_NEAR(PointerAcceleration::gain(c.speed, kDefaults), c.gain, 1e-9) << c.speed;
  }
  EXPECT_NEAR(top, 22.7, 0.05);
  InputSettings flat{2.0, 0.0, 1.0, true};
  EXPECT_DOUBLE_EQ(PointerAcceleration::gain(4000, flat), 2.0);
}

TEST(PointerAcceleration, FirstStepAndPausesUseOneSixtiethAndRestartSmoothing) {
  PointerAcceleration a(kDefaults);
  // 10 points in 1/60 s = 600 points/s: gain 3.
  auto [x, y] = a.apply(6, 8, 0.0);
  EXPECT_NEAR(x, 18, 1e-9);
  EXPECT_NEAR(y, 24, 1e-9);
  EXPECT_NEAR(a.smoothedSpeed, 600, 1e-9);
  ASSERT_TRUE(a.lastTimestamp);
  EXPECT_EQ(*a.lastTimestamp, 0.0);

  // A pause of exactly 0.1 s resets: the slow step is taken unsmoothed.
  a.apply(0.6, 0.8, 0.1);
  EXPECT_NEAR(a.smoothedSpeed, 60, 1e-9);
  // A timestamp that makes no sense also resets.
  a.apply(6, 8, std::numeric_limits<double>::quiet_NaN());
  EXPECT_NEAR(a.smoothedSpeed, 600, 1e-9);
}

TEST(PointerAcceleration, StepDurationIsClampedAndSpeedSmoothed) {
  struct Case {
    double gap;
    double dt;
  };
  for (Case c : {Case{0.001, 1.0 / 240}, Case{1.0 / 240, 1.0 / 240}, Case{0.05, 0.05}, Case{0.09, 1.0 / 15}}) {
    PointerAcceleration a(kDefaults);
    a.apply(1, 0, 10);  // 60 points/s
    a.apply(1, 0, 10 + c.gap);
    EXPECT_NEAR(a.smoothedSpeed, 0.6 * (1 / c.dt) + 0.4 * 60, 1e-6) << c.gap;
  }
}

TEST(PointerAcceleration, ZeroLengthSteps) {
  PointerAcceleration fresh(kDefaults);
  fresh.apply(0, 0, 1);
  EXPECT_EQ(fresh.smoothedSpeed, 0);
  fresh.apply(1, 0, 1.01);  // taken unsmoothed: 1 / 0.01
  EXPECT_NEAR(fresh.smoothedSpeed, 100, 1e-9);

  PointerAcceleration moving(kDefaults);
  moving.apply(10, 0, 1);  // 600
  auto [x, y] = moving.apply(0, 0, 1.01);
  EXPECT_NEAR(moving.smoothedSpeed, 240, 1e-9);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
}

TEST(ClickCounter, CountsWithinIntervalAndDistance) {
  struct Press {
    MouseButton button;
    double time, x, y;
    std::int64_t expected;
  };
  struct Case {
    const char* name;
    std::vector<Press> presses;
  };
  const auto L = MouseButton::left, R = MouseButton::right;
  std::vector<Case> cases = {
      {"edge of interval and distance", {{L, 1, 0, 0, 1}, {L, 1.5, 6, 0, 2}}},
      {"just too far", {{L, 1, 0, 0, 1}, {L, 1.2, 6.01, 0, 1}}},
      {"too late", {{L, 1, 0, 0, 1}, {L, 1.5001, 0, 0, 1}}},
      {"fourth press", {{L, 1, 5, 5, 1}, {L, 1.1, 5, 5, 2}, {L, 1.2, 5, 5, 3}, {L, 1.3, 5, 5, 4}}},
      {"alternating buttons", {{L, 1, 0, 0, 1}, {R, 1.1, 0, 0, 1}, {L, 1.2, 0, 0, 1}}},
      {"gap measured from the last press", {{L, 1, 0, 0, 1}, {L, 1.4, 0, 0, 2}, {L, 1.8, 0, 0, 3}}},
  };
  for (const auto& c : cases) {
    ClickCounter counter(0.5, 6.0);
    for (const auto& p : c.presses) {
      EXPECT_EQ(counter.registerPress(p.button, p.time, p.x, p.y), p.expected) << c.name << " at " << p.time;
    }
  }
}

TEST(ScrollMomentum, ConstructionThresholdAndCap) {
  EXPECT_FALSE(ScrollMomentum::make(119.9, 0));
  EXPECT_FALSE(ScrollMomentum::make(std::nan(""), 0));
  auto capped = ScrollMomentum::make(12000, 0);
  ASSERT_TRUE(capped);
  EXPECT_DOUBLE_EQ(capped->vx, 6000);
  auto diagonal = ScrollMomentum::make(-6000, 8000);  // speed 10000, direction kept
  ASSERT_TRUE(diagonal);
  EXPECT_NEAR(diagonal->vx, -3600, 1e-9);
  EXPECT_NEAR(diagonal->vy, 4800, 1e-9);
}

TEST(ScrollMomentum, StepsDecayAndEnd) {
  auto m = *ScrollMomentum::make(1000, 0);
  EXPECT_FALSE(m.step(0));
  EXPECT_FALSE(m.step(-1));
  EXPECT_EQ(m.vx, 1000);

  auto d = m.step(0.4);
  ASSERT_TRUE(d);
  EXPECT_NEAR(d->first, 1000 * 0.4 * (1 - std::exp(-1.0)), 1e-9);
  EXPECT_NEAR(m.vx, 1000 * std::exp(-1.0), 1e-9);

  int steps = 0;
  double travelled = d->first;
  while (auto next = m.step(1.0 / 60)) {
    travelled += next->first;
    ASSERT_LT(++steps, 1000);
  }
  EXPECT_LT(m.vx, 15);
  EXPECT_GT(steps, 0);
  // The total never exceeds the integral to infinity (v0 × time constant).
  EXPECT_LT(travelled, 400);
}

TEST(ThreeFingerSwipe, Classification) {
  struct Case {
    double tx, ty, vx, vy;
    std::optional<MissionControlAction> expected;
  };
  using A = MissionControlAction;
  for (const Case& c : std::vector<Case>{
           {-39, 0, -401, 0, A::spaceRight},
           {-39, 0, 401, 0, std::nullopt},
           {30, 30, 0, 0, std::nullopt},
           {0, -50, 0, 0, A::missionControl},
           {0, 50, 0, 0, A::appWindows},
           {40, 40, 0, 0, A::spaceLeft},  // a tie is horizontal
           {-45, 10, 0, 0, A::spaceRight},
           {10, -20, 0, -500, A::missionControl},
           {0, 0, 0, 0, std::nullopt},
       }) {
    EXPECT_EQ(ThreeFingerSwipe::action(c.tx, c.ty, c.vx, c.vy), c.expected) << c.tx << "," << c.ty;
  }
}

}  // namespace
}  // namespace tillerpad::kit
