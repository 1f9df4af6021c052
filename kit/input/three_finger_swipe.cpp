#include "kit/input/three_finger_swipe.h"

#include <cmath>

namespace tillerpad::kit::ThreeFingerSwipe {
namespace {
constexpr double kMinTravel = 40;
constexpr double kMinFlickSpeed = 400;
}  // namespace

std::optional<MissionControlAction> action(double tx, double ty, double vx, double vy) {
  bool horizontal = std::abs(ty) <= std::abs(tx);
  double t = horizontal ? tx : ty;
  double v = horizontal ? vx : vy;
  bool recognised = std::abs(t) >= kMinTravel || (std::abs(v) >= kMinFlickSpeed && t * v > 0);
  if (!recognised) return std::nullopt;
  if (horizontal) return tx < 0 ? MissionControlAction::spaceRight : MissionControlAction::spaceLeft;
  return ty < 0 ? MissionControlAction::missionControl : MissionControlAction::appWindows;
}

}  // namespace tillerpad::kit::ThreeFingerSwipe
