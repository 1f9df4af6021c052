#include "kit/input/click_counter.h"

#include <cmath>

namespace tillerpad::kit {

std::int64_t ClickCounter::registerPress(MouseButton button, double time, double x, double y) {
  std::int64_t count = 1;
  if (last && last->button == button && time - last->time <= interval &&
      std::hypot(x - last->x, y - last->y) <= maxDistance) {
    count = last->count + 1;
  }
  last = Press{button, time, x, y, count};
  return count;
}

}  // namespace tillerpad::kit
