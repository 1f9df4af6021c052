#pragma once

#include <cstdint>
#include <optional>

#include "kit/wire/input_messages.h"

namespace tillerpad::kit {

// Decides whether a press continues a multi-click (double, triple ...) or
// starts a new one.
struct ClickCounter {
  struct Press {
    MouseButton button;
    double time;
    double x;
    double y;
    std::int64_t count;
    friend bool operator==(const Press&, const Press&) = default;
  };

  double interval = 0.5;     // seconds
  double maxDistance = 6.0;  // points
  std::optional<Press> last;

  ClickCounter(double interval_, double maxDistance_) : interval(interval_), maxDistance(maxDistance_) {}

  // The click count of this press (1, 2, ...); remembers the press.
  std::int64_t registerPress(MouseButton button, double time, double x, double y);
};

}  // namespace tillerpad::kit
