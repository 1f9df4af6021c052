#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace tillerpad::platform {

struct DisplayInfo {
  std::uint32_t id = 0;
  Rect bounds;
  std::string name;
  bool isMain = false;
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// The active displays in the platform's order, and the pointer preferences
// that belong to the same session.
class DisplayQuery {
 public:
  virtual ~DisplayQuery() = default;
  virtual std::vector<DisplayInfo> activeDisplays() = 0;
  // Longest gap between two presses of a multi-click, in seconds.
  virtual double doubleClickInterval() = 0;
};

}  // namespace tillerpad::platform
