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

// The gain never falls as the finger speeds up, is the plain pointer speed
// at rest (and for speeds that make no sense), and stops growing at some
// top speed, so a flick cannot throw the pointer arbitrarily far.
TEST(PointerAcceleration, GainIsMonotoneAndBounded) {
  for (InputSettings s : {kDefaults, InputSettings{0.5, 2.0, 1.0, true}, InputSettings{2.0, 0.0, 1.0, true}}) {
    const double rest = PointerAcceleration::gain(0, s);
    EXPECT_DOUBLE_EQ(rest, s.pointerSpeed);
    EXPECT_DOUBLE_EQ(PointerAcceleration::gain(-10, s), rest);
    EXPECT_DOUBLE_EQ(PointerAcceleration::gain(std::numeric_limits<double>::quiet_NaN(), s), rest);
    double previous = rest;
    for (double speed = 50; speed <= 20000; speed += 50) {
      double g = PointerAcceleration::gain(speed, s);
      EXPECT_GE(g, previous) << speed;
      previous = g;
    }
    EXPECT_DOUBLE_EQ(PointerAcceleration::gain(1e9, s), PointerAcceleration::gain(20000, s));
    EXPECT_LT(previous, 50 * s.pointerSpeed);
    // No acceleration: the gain is flat.
    if (s.pointerAcceleration == 0) EXPECT_DOUBLE_EQ(previous, rest);
  }
  // The default curve triples a moderate 600 points/s; the phone's feel is tuned to it.
  EXPECT_NEAR(PointerAcceleration::gain(600, kDefaults), 3.0, 1e-9);
}

// Steps keep their direction, opposite steps mirror each other, and a faster
// step of the same length never moves less.
TEST(PointerAcceleration, StepsKeepDirectionAndAreSymmetric) {
  auto first = [](double dx, double dy, double gap) {
    PointerAcceleration a(kDefaults);
    a.apply(1, 0, 10);
    return a.apply(dx, dy, 10 + gap);
  };
  for (auto [dx, dy] : {std::pair{3.0, 4.0}, std::pair{-6.0, 0.5}, std::pair{0.0, -2.0}}) {
    auto [x, y] = first(dx, dy, 0.02);
    auto [mx, my] = first(-dx, -dy, 0.02);
    EXPECT_DOUBLE_EQ(mx, -x);
    EXPECT_DOUBLE_EQ(my, -y);
    EXPECT_NEAR(x * dy, y * dx, 1e-9);  // parallel
    EXPECT_GE(x * dx + y * dy, dx * dx + dy * dy);  // same way, never shorter
  }
  double previous = 0;
  for (double gap : {0.09, 0.05, 0.02, 0.01, 0.005, 0.001}) {
    double x = first(5, 0, gap).first;
    EXPECT_GE(x, previous) << gap;
    previous = x;
  }
  // Below the shortest step duration, quicker arrivals change nothing.
  EXPECT_DOUBLE_EQ(first(5, 0, 0.001).first, first(5, 0, 0.0001).first);
  auto [zx, zy] = first(0, 0, 0.01);
  EXPECT_EQ(zx, 0);
  EXPECT_EQ(zy, 0);
}

// After a pause, or a timestamp that makes no sense, the history is dropped:
// a step moves exactly as it would as the very first one.
TEST(PointerAcceleration, PausesAndBadTimestampsStartAfresh) {
  PointerAcceleration fresh(kDefaults);
  auto alone = fresh.apply(0.6, 0.8, 0);
  for (double later : {0.1, 5.0, std::numeric_limits<double>::quiet_NaN()}) {
    PointerAcceleration a(kDefaults);
    a.apply(60, 80, -0.01);  // fast: smoothing would raise the next gain
    a.apply(60, 80, 0);
    auto step = a.apply(0.6, 0.8, later);
    EXPECT_DOUBLE_EQ(step.first, alone.first) << later;
    EXPECT_DOUBLE_EQ(step.second, alone.second) << later;
  }
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
  EXPECT_FALSE(ScrollMomentum::make(ScrollMomentum::minimumSpeed - 0.1, 0));
  EXPECT_FALSE(ScrollMomentum::make(std::nan(""), 0));
  auto capped = ScrollMomentum::make(12000, 0);
  ASSERT_TRUE(capped);
  EXPECT_DOUBLE_EQ(capped->vx, 6000);
  auto diagonal = ScrollMomentum::make(-6000, 8000);  // speed 10000, direction kept
  ASSERT_TRUE(diagonal);
  EXPECT_NEAR(diagonal->vx, -3600, 1e-9);
  EXPECT_NEAR(diagonal->vy, 4800, 1e-9);
}

// The coast does not depend on the frame rate (two half steps make one
// whole), slows down, keeps its direction and ends within the distance an
// exponential decay from the release speed allows.
TEST(ScrollMomentum, DecayIsFrameRateIndependentAndEnds) {
  auto whole = *ScrollMomentum::make(1000, -500), halves = whole;
  EXPECT_FALSE(whole.step(0));
  EXPECT_FALSE(whole.step(-1));
  auto one = whole.step(0.2);
  auto a = halves.step(0.1), b = halves.step(0.1);
  ASSERT_TRUE(one && a && b);
  EXPECT_NEAR(one->first, a->first + b->first, 1e-9);
  EXPECT_NEAR(one->second, a->second + b->second, 1e-9);
  EXPECT_NEAR(whole.vx, halves.vx, 1e-9);
  EXPECT_GT(one->first, 0);
  EXPECT_LT(one->second, 0);

  int steps = 0;
  double travelled = one->first, speed = whole.vx;
  while (auto next = whole.step(1.0 / 60)) {
    travelled += next->first;
    EXPECT_LT(whole.vx, speed);
    speed = whole.vx;
    ASSERT_LT(++steps, 1000);
  }
  EXPECT_GT(steps, 0);
  EXPECT_LT(travelled, 1000 * 0.4);  // the integral to infinity: v0 × time constant
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
