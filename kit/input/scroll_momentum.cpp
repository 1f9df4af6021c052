#include "kit/input/scroll_momentum.h"

#include <algorithm>
#include <cmath>

namespace tillerpad::kit {
namespace {
constexpr double kMaxSpeed = 6000;
constexpr double kStopSpeed = 15;
constexpr double kTimeConstant = 0.4;
}  // namespace

std::optional<ScrollMomentum> ScrollMomentum::make(double vx, double vy) {
  double s = std::hypot(vx, vy);
  // `!(s >= ...)` also refuses NaN.
  if (!(s >= minimumSpeed)) return std::nullopt;
  double k = std::min(kMaxSpeed / s, 1.0);
  return ScrollMomentum(vx * k, vy * k);
}

std::optional<std::pair<double, double>> ScrollMomentum::step(double dt) {
  if (std::hypot(vx, vy) < kStopSpeed) return std::nullopt;
  if (!(dt > 0)) return std::nullopt;
  double decay = std::exp(-dt / kTimeConstant);
  std::pair<double, double> displacement{vx * kTimeConstant * (1 - decay), vy * kTimeConstant * (1 - decay)};
  vx *= decay;
  vy *= decay;
  return displacement;
}

}  // namespace tillerpad::kit
