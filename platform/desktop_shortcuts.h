#pragma once

#include <cstdint>
#include <string_view>

namespace tillerpad::platform {

// The desktop's own keybinding of a window-management action, named by the
// host's hot key id ("32" overview, "33" application windows, "36" show
// desktop, "79" workspace left, "81" workspace right).
struct DesktopShortcut {
  enum class State {
    notSet,    // the desktop has no usable binding of its own
    disabled,  // the user switched the action off
    bound,
  };
  State state = State::notSet;
  std::uint16_t keyCode = 0;        // host virtual key code; 65535 = none
  std::uint64_t modifierFlags = 0;  // host event flags (0x40000 control, ...)
  friend bool operator==(const DesktopShortcut&, const DesktopShortcut&) = default;
};

class DesktopShortcuts {
 public:
  virtual ~DesktopShortcuts() = default;
  virtual DesktopShortcut shortcut(std::string_view hotKeyId) = 0;
  // Carries the action out without a key (window-manager requests) where
  // the desktop allows it; false when it cannot.
  virtual bool performDirectly(std::string_view hotKeyId) = 0;
};

}  // namespace tillerpad::platform
