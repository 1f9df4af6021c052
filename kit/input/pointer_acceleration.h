#pragma once

#include <optional>
#include <utility>

#include "kit/wire/input_messages.h"

namespace tillerpad::kit {

// Turns a relative pointer step into an accelerated one from the step's
// smoothed speed. Time is passed in (seconds of uptime) so the value stays pure.
struct PointerAcceleration {
  InputSettings settings;
  double smoothedSpeed = 0;  // points per second; 0 means no history
  std::optional<double> lastTimestamp;

  PointerAcceleration() = default;
  explicit PointerAcceleration(InputSettings s) : settings(s) {}

  // pointerSpeed × (pointerAcceleration × (clamp(speed, 0, 5000) / 600)^1.25 + 1)
  static double gain(double speed, const InputSettings& settings);

  std::pair<double, double> apply(double dx, double dy, double timestamp);
};

}  // namespace tillerpad::kit
