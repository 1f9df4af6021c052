#include "kit/screen/screen_quality_controller.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

// The delays and skips recorded in a window, evaluated `age` seconds after the previous evaluation.
struct Window { std::vector<double> delays; int skips = 0; double age = ScreenQualityController::window; };

// Each case starts at level 3 with a phone allowing 1920 px and 30 fps (unless given), closes
// its windows in turn and checks where it ends and whether the last one reported a change.
TEST(ScreenQualityController, StartsAtTheFourthStepAndWindowsMoveTheLevel) {
  struct Case {
    const char* name; std::vector<Window> windows; int level, streak; bool reported; StreamSettings settings;
    std::int64_t width = 1920, fps = 30;
  };
  const Window fast{{0.05, 0.05}}, slow{{1.0}};
  const StreamSettings level2{960, 10, 0.5}, level3{1280, 10, 0.5}, level4{1280, 15, 0.55};
  const Case cases[] = {
      {"the start raised to the least useful values", {}, 3, 0, false, {640, 5, 0.5}, 320, 2},
      {"two fast windows go up", {fast, fast}, 4, 0, true, level4},
      {"an average of exactly 0.25 s is neither", {fast, {{0.2, 0.3}}}, 3, 0, false, level3},
      {"just above 0.25 s degrades", {{{0.25, 0.2502}}}, 2, 0, true, level2},
      {"acceptable but not fast resets the streak", {fast, {{0.1}}, fast}, 3, 1, false, level3},
      {"a skip spoils a fast window", {fast, {{0.05, 0.05}, 1}}, 3, 0, false, level3},
      {"more skips than delays degrade", {{{0.01, 0.01, 0.01}, 4}}, 2, 0, true, level2},
      {"as many skips as delays do not", {{{0.01, 0.01, 0.01}, 3}}, 3, 0, false, level3},
      {"skips without delays degrade", {{{}, 1}}, 2, 0, true, level2},
      {"an empty window changes nothing", {fast, {}, fast}, 4, 0, true, level4},
      {"a young window stays open with its data", {{{2.0}, 1, 1.25}, {{}, 0, 0.25}}, 2, 0, true, level2},
      {"level 0 is the floor", {slow, slow, slow, slow}, 0, 0, false, {640, 5, 0.4}},
      {"level 8 is the ceiling", std::vector<Window>(14, fast), 8, 4, false, {1920, 30, 0.7}},
      // 960 px and 10 fps: levels 2 and 3 look the same to this phone.
      {"a hidden change is not reported", {slow}, 2, 0, false, level2, 960, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScreenQualityController ctl(c.width, c.fps, 100);
    double now = 100;
    std::optional<StreamSettings> result;
    for (const auto& w : c.windows) {
      for (double d : w.delays) ctl.recordRoundTrip(d);
      for (int i = 0; i < w.skips; ++i) ctl.recordSkip();
      result = ctl.evaluate(now += w.age);
    }
    EXPECT_EQ(std::tuple(ctl.level(), ctl.healthyStreak(), ctl.current()), std::tuple(c.level, c.streak, c.settings));
    EXPECT_EQ(result, c.reported ? std::optional(c.settings) : std::nullopt);
    // Every closed window starts the next one empty.
    EXPECT_TRUE(ctl.roundTrips().empty() && ctl.skipped() == 0 && ctl.windowStart() == now);
  }
}

}  // namespace
}  // namespace tillerpad::kit
