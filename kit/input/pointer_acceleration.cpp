#include "kit/input/pointer_acceleration.h"

#include <cmath>

namespace tillerpad::kit {
namespace {
constexpr double kMaxSpeed = 5000;
constexpr double kPauseSeconds = 0.1;
constexpr double kDefaultStep = 1.0 / 60;
constexpr double kShortestStep = 1.0 / 240;
constexpr double kLongestStep = 1.0 / 15;
}  // namespace

double PointerAcceleration::gain(double speed, const InputSettings& settings) {
  // `!(speed > 0)` also sends NaN to 0.
  double clamped = !(speed > 0) ? 0 : (speed > kMaxSpeed ? kMaxSpeed : speed);
  double p = std::pow(clamped / 600, 1.25);
  return settings.pointerSpeed * (settings.pointerAcceleration * p + 1);
}

std::pair<double, double> PointerAcceleration::apply(double dx, double dy, double timestamp) {
  double dt = kDefaultStep;
  if (!lastTimestamp) {
    smoothedSpeed = 0;
  } else {
    double elapsed = timestamp - *lastTimestamp;
    if (!(elapsed < kPauseSeconds)) {
      smoothedSpeed = 0;  // a pause (or a clock that makes no sense) starts afresh
    } else {
      dt = elapsed <= kShortestStep ? kShortestStep : (elapsed > kLongestStep ? kLongestStep : elapsed);
    }
  }
  lastTimestamp = timestamp;

  double v = std::hypot(dx, dy) / dt;
  smoothedSpeed = smoothedSpeed == 0 ? v : 0.6 * v + 0.4 * smoothedSpeed;
  double g = gain(smoothedSpeed, settings);
  return {dx * g, dy * g};
}

}  // namespace tillerpad::kit
