#pragma once

#include <functional>
#include <memory>

#include "kit/common/log.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::linux_x11 {

// Media keys and power on a Wayland session, where no synthetic key reaches
// the players: play, next and previous as MPRIS calls; the volume keys
// through `volumeKeys` (the backend's keyboard pressing XF86AudioRaiseVolume,
// XF86AudioLowerVolume and XF86AudioMute, which the compositor's or the
// desktop's own bindings see); lock and suspend through logind as on X11.
// Display sleep is refused: a compositor's power-off does not end at the
// next input as DPMS does, so the phone could not wake the screen.
std::unique_ptr<SystemCommandRunner> makeWaylandSystemCommands(std::function<bool(MediaKey, bool down)> volumeKeys,
                                                               kit::Logger log);

}  // namespace tillerpad::platform::linux_x11
