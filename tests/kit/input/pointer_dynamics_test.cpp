#include <gtest/gtest.h>

#include <cmath>

#include "kit/input/click_counter.h"
#include "kit/input/pointer_acceleration.h"
#include "kit/input/scroll_momentum.h"
#include "kit/input/three_finger_swipe.h"

using namespace tillerpad::kit;

namespace {

using P = PointerAcceleration;

// The gain is the plain pointer speed at rest (and for speeds that make no sense), never falls
// as the finger speeds up, grows only with acceleration on, and stops growing at a top speed.
// A step keeps its direction, mirrors the opposite step and never moves less for being quicker;
// a pause or a nonsense time drops the history.
TEST(PointerAcceleration, GainIsMonotoneAndBoundedAndStepsKeepTheirDirection) {
  for (InputSettings s : {InputSettings::defaults(), InputSettings{2.0, 0, 1, true}}) {
    double top = s.pointerSpeed;
    for (double v : {-10.0, std::nan(""), 0.0}) EXPECT_EQ(P::gain(v, s), top) << v;
    for (double v = 50; v <= 20000; top = P::gain(v, s), v += 50) EXPECT_GE(P::gain(v, s), top) << v;
    EXPECT_TRUE(P::gain(1e9, s) == top && (top > s.pointerSpeed) == (s.pointerAcceleration > 0)) << top;
  }
  // The step (dx, dy) `gap` seconds after a step (3, 0), with the default settings.
  auto second = [](double dx, double dy, double gap) { P a; return a.apply(3, 0, 0), a.apply(dx, dy, gap); };
  auto [x, y] = second(-6, 0.5, 0.02);
  EXPECT_EQ(second(6, -0.5, 0.02), std::pair(-x, -y));
  EXPECT_TRUE(std::abs(x * 0.5 + y * 6) < 1e-9 && -6 * x + 0.5 * y >= 36.25) << x << "," << y;
  for (double gap : {0.09, 0.02, 0.005}) EXPECT_GE(second(5, 0, gap / 2).first, second(5, 0, gap).first) << gap;
  for (double gap : {0.1, 5.0, std::nan("")}) EXPECT_EQ(second(0.6, 0.8, gap), P().apply(0.6, 0.8, 0)) << gap;
}

TEST(ClickCounter, CountsWithinIntervalAndDistance) {
  const auto L = MouseButton::left, R = MouseButton::right;
  using Press = std::tuple<MouseButton, double, double, double, std::int64_t>;  // button, time, x, y, count
  for (ClickCounter counter(0.5, 6.0); auto [button, time, x, y, count] : std::vector<Press>{
           {L, 1, 0, 0, 1}, {L, 1.5, 6, 0, 2}, {L, 2, 6, 6, 3},  // both limits are inclusive
           {L, 2.2, 10.5, 10.5, 1},                               // too far, though on neither axis alone
           {L, 2.7001, 10.5, 10.5, 1}, {R, 2.8, 10.5, 10.5, 1}, {L, 2.9, 10.5, 10.5, 1}}) {  // too late; buttons
    EXPECT_EQ(counter.registerPress(button, time, x, y), count) << time;
  }
}

// Too slow does not coast, too fast is capped with its direction kept; the coast does not
// depend on the frame rate and ends within what an exponential decay allows.
TEST(ScrollMomentum, StartsCapsAndDecaysIndependentlyOfTheFrameRate) {
  EXPECT_FALSE(ScrollMomentum::make(ScrollMomentum::minimumSpeed - 0.1, 0) || ScrollMomentum::make(NAN, 0));
  auto fast = *ScrollMomentum::make(-6000, 8000), faster = *ScrollMomentum::make(-12000, 16000);
  EXPECT_TRUE(fast.vx == faster.vx && fast.vy == faster.vy && std::abs(fast.vx / fast.vy + 0.75) < 1e-12);
  auto whole = *ScrollMomentum::make(1000, -500), halves = whole;
  EXPECT_FALSE(whole.step(0) || whole.step(-1));
  auto one = *whole.step(0.2), a = *halves.step(0.1), b = *halves.step(0.1);
  EXPECT_LT(std::hypot(one.first - a.first - b.first, one.second - a.second - b.second), 1e-9);
  // A long step goes all the way, the integral to infinity: release speed × time constant; then it ends.
  auto rest = *whole.step(60);
  EXPECT_LT(std::hypot(one.first + rest.first - 1000 * 0.4, one.second + rest.second + 500 * 0.4), 1e-9);
  EXPECT_FALSE(whole.step(1.0 / 60));
}

TEST(ThreeFingerSwipe, Classification) {
  using A = MissionControlAction;
  // A flick counts when it goes the way of its travel; a tie of the travels counts as sideways.
  const std::tuple<double, double, double, double, std::optional<A>> cases[] = {  // travel x, y, speed x, y
      {-39, 0, -401, 0, A::spaceRight}, {-39, 0, 401, 0, {}}, {30, 30, 0, 0, {}}, {40, 40, 0, 0, A::spaceLeft},
      {0, -50, 0, 0, A::missionControl}, {10, -20, 0, -500, A::missionControl}, {0, 50, 0, 0, A::appWindows}};
  for (auto [tx, ty, vx, vy, action] : cases) EXPECT_EQ(ThreeFingerSwipe::action(tx, ty, vx, vy), action) << tx << ty;
}

}  // namespace
