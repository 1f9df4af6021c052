#pragma once

// Mutter's monitor arrangement as org.gnome.Mutter.DisplayConfig reports it
// (GetCurrentState), turned into the host's displays.
#include <gio/gio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.h"

namespace tillerpad::platform::gnome {

struct MutterMonitor {
  std::string connector;  // "DP-1", "Meta-0": what RecordMonitor takes
  std::string name;       // what a person calls it
  Rect bounds;            // desktop coordinates (logical pixels)
  std::int64_t pixelWidth = 0;
  bool isMain = false;
  std::uint32_t id = 0;  // stable for the connector
};

// The logical monitors of a GetCurrentState answer, the primary first;
// nothing when the answer has another shape.
std::optional<std::vector<MutterMonitor>> parseCurrentState(GVariant* state);

// A non-zero id that stays the same for the same connector.
std::uint32_t monitorID(std::string_view connector);

}  // namespace tillerpad::platform::gnome
