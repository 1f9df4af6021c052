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

// Each case starts at level 3 with a phone allowing 1920 px and 30 fps
// (unless given), closes its windows in turn and checks where it ends and
// whether the last window reported a change.
TEST(ScreenQualityController, StartsAtTheFourthStepAndWindowsMoveTheLevel) {
  struct Case {
    const char* name;
    std::vector<Window> windows;
    int level, streak;
    bool reported;
    StreamSettings settings;
    std::int64_t width = 1920, fps = 30;
  };
  const Window fast{{0.05, 0.05}}, slow{{1.0}};
  const StreamSettings level2{960, 10, 0.5}, level3{1280, 10, 0.5}, level4{1280, 15, 0.55};
  const Case cases[] = {
      {"the start", {}, 3, 0, false, level3},
      {"the start within the phone's maxima", {}, 3, 0, false, {960, 10, 0.5}, 960, 10},
      {"the start raised to the least useful values", {}, 3, 0, false, {640, 5, 0.5}, 320, 2},
      {"the start capped by the ladder", {}, 3, 0, false, level3, 100000, 1000},
      {"one fast window only counts", {fast}, 3, 1, false, level3},
      {"two fast windows go up", {fast, fast}, 4, 0, true, level4},
      {"an average of exactly 0.25 s is neither", {fast, {{0.2, 0.3}}}, 3, 0, false, level3},
      {"just above 0.25 s degrades", {{{0.25, 0.2502}}}, 2, 0, true, level2},
      {"acceptable but not fast resets the streak", {fast, {{0.1}}, fast}, 3, 1, false, level3},
      {"a skip spoils a fast window", {fast, {{0.05, 0.05}, 1}}, 3, 0, false, level3},
      {"more skips than delays degrade", {{{0.01, 0.01, 0.01}, 4}}, 2, 0, true, level2},
      {"as many skips as delays do not", {{{0.01, 0.01, 0.01}, 3}}, 3, 0, false, level3},
      {"skips without delays degrade", {{{}, 1}}, 2, 0, true, level2},
      {"an empty window changes nothing", {fast, {}, fast}, 4, 0, true, level4},
      {"level 0 is the floor", {slow, slow, slow, slow}, 0, 0, false, {640, 5, 0.4}},
      {"level 8 is the ceiling", std::vector<Window>(14, fast), 8, 4, false, {1920, 30, 0.7}},
      // 960 px and 10 fps: levels 2 and 3 look the same to this phone.
      {"a hidden change is not reported", {slow}, 2, 0, false, level2, 960, 10},
      {"nor one hidden upwards", {slow, fast, fast}, 3, 0, false, {960, 10, 0.5}, 960, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Controller controller(c.width, c.fps, 100);
    double now = 100;
    std::optional<StreamSettings> result;
    for (const auto& w : c.windows) {
      for (double d : w.delays) controller.recordRoundTrip(d);
      for (int i = 0; i < w.skips; ++i) controller.recordSkip();
      now += Controller::window;
      result = controller.evaluate(now);
    }
    EXPECT_EQ(controller.level(), c.level);
    EXPECT_EQ(controller.healthyStreak(), c.streak);
    EXPECT_EQ(controller.current(), c.settings);
    EXPECT_EQ(result, c.reported ? std::optional(c.settings) : std::nullopt);
    // Every closed window starts the next one empty.
    EXPECT_TRUE(controller.roundTrips().empty());
    EXPECT_EQ(controller.skipped(), 0);
    EXPECT_EQ(controller.windowStart(), now);
  }
}

TEST(ScreenQualityController, AYoungWindowStaysOpenWithItsData) {
  Controller controller(1920, 30, 100);
  controller.recordRoundTrip(2.0);
  controller.recordSkip();
  EXPECT_EQ(controller.evaluate(101.49), std::nullopt);
  EXPECT_EQ(controller.evaluate(101.5), (StreamSettings{960, 10, 0.5}));
}

}  // namespace
}  // namespace tillerpad::kit
