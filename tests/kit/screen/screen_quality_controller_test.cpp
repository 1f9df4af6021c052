#include "kit/screen/screen_quality_controller.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

using Controller = ScreenQualityController;

// One closed window: the delays recorded, the skips, then an evaluation
// `window` seconds after the previous one.
struct Window {
  std::vector<double> delays;
  int skips = 0;
};

std::optional<StreamSettings> close(Controller& c, double& now, const Window& w) {
  for (double d : w.delays) c.recordRoundTrip(d);
  for (int i = 0; i < w.skips; ++i) c.recordSkip();
  now += Controller::window;
  return c.evaluate(now);
}

TEST(ScreenQualityController, StartsAtTheFourthStepWithinThePhonesMaxima) {
  struct Case {
    std::int64_t width, fps;
    StreamSettings expected;
  };
  const Case cases[] = {
      {1920, 30, {1280, 10, 0.5}},
      {960, 10, {960, 10, 0.5}},
      {320, 2, {640, 5, 0.5}},  // raised to the least useful values
      {100000, 1000, {1280, 10, 0.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    Controller controller(c.width, c.fps, 10);
    EXPECT_EQ(controller.level(), 3);
    EXPECT_EQ(controller.current(), c.expected);
  }
}

// Each case starts at level 3 with a phone allowing 1920 px and 30 fps
// (unless given), closes its windows in turn and checks where it ends.
TEST(ScreenQualityController, WindowsMoveTheLevel) {
  struct Case {
    const char* name;
    std::vector<Window> windows;
    int level;
    int streak;
    std::optional<StreamSettings> lastResult;
    std::int64_t width = 1920, fps = 30;
  };
  const Window fast{{0.05, 0.05}};
  const Case cases[] = {
      {"one fast window only counts", {fast}, 3, 1, std::nullopt},
      {"two fast windows go up", {fast, fast}, 4, 0, StreamSettings{1280, 15, 0.55}},
      {"an average of exactly 0.25 s is neither", {fast, {{0.2, 0.3}}}, 3, 0, std::nullopt},
      {"just above 0.25 s degrades", {{{0.25, 0.2502}}}, 2, 0, StreamSettings{960, 10, 0.5}},
      {"acceptable but not fast resets the streak", {fast, {{0.1}}, fast}, 3, 1, std::nullopt},
      {"a skip spoils a fast window", {fast, {{0.05, 0.05}, 1}}, 3, 0, std::nullopt},
      {"more skips than delays degrade", {{{0.01, 0.01, 0.01}, 4}}, 2, 0, StreamSettings{960, 10, 0.5}},
      {"as many skips as delays do not", {{{0.01, 0.01, 0.01}, 3}}, 3, 0, std::nullopt},
      {"skips without delays degrade", {{{}, 1}}, 2, 0, StreamSettings{960, 10, 0.5}},
      {"an empty window changes nothing", {fast, {}, fast}, 4, 0, StreamSettings{1280, 15, 0.55}},
      {"level 0 is the floor", {{{1.0}}, {{1.0}}, {{1.0}}, {{1.0}}}, 0, 0, std::nullopt},
      {"level 8 is the ceiling", std::vector<Window>(14, fast), 8, 4, std::nullopt},
      // 960 px and 10 fps: levels 2 and 3 look the same to this phone.
      {"a hidden change is not reported", {{{1.0}}}, 2, 0, std::nullopt, 960, 10},
      {"nor one hidden upwards", {{{1.0}}, fast, fast}, 3, 0, std::nullopt, 960, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Controller controller(c.width, c.fps, 100);
    double now = 100;
    std::optional<StreamSettings> result;
    for (const auto& w : c.windows) result = close(controller, now, w);
    EXPECT_EQ(controller.level(), c.level);
    EXPECT_EQ(controller.healthyStreak(), c.streak);
    EXPECT_EQ(result, c.lastResult);
    EXPECT_TRUE(controller.roundTrips().empty());
    EXPECT_EQ(controller.skipped(), 0);
    EXPECT_EQ(controller.windowStart(), now);
  }
}

TEST(ScreenQualityController, AYoungWindowStaysOpen) {
  Controller controller(1920, 30, 100);
  controller.recordRoundTrip(2.0);
  controller.recordSkip();
  EXPECT_EQ(controller.evaluate(101.49), std::nullopt);
  EXPECT_EQ(controller.roundTrips(), std::vector<double>{2.0});
  EXPECT_EQ(controller.skipped(), 1);
  EXPECT_EQ(controller.windowStart(), 100);
  EXPECT_EQ(controller.level(), 3);
  // Once old enough, the same window degrades.
  EXPECT_EQ(controller.evaluate(101.5), (StreamSettings{960, 10, 0.5}));
}

}  // namespace
}  // namespace tillerpad::kit
