#pragma once

#include <cstdint>
#include <optional>

#include "platform/system_command_runner.h"

namespace tillerpad::platform::linux_x11 {

// X key codes are evdev key codes plus this offset.
inline constexpr int kEvdevToX = 8;

// The host's virtual key codes name key positions of an ANSI keyboard; this
// maps them to the Linux input (evdev) code of the key at that position.
// X key codes are evdev codes plus 8. Command is mapped to the right Control
// key so that command and control can be held together.
std::optional<std::uint16_t> evdevCodeForKey(std::uint16_t virtualKeyCode);
// The inverse, for bindings read from the desktop.
std::optional<std::uint16_t> virtualKeyForEvdevCode(std::uint16_t evdevCode);
// The evdev code of a media key (KEY_VOLUMEUP and so on).
std::uint16_t evdevCodeForMediaKey(MediaKey key);

}  // namespace tillerpad::platform::linux_x11
