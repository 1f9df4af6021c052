#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kit/common/log.h"
#include "platform/desktop_shortcuts.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::wlroots {

// Media keys and power on a wlroots session: play, next and previous as
// MPRIS calls; the volume keys through `volumeKeys` (the virtual keyboard's
// XF86AudioRaiseVolume, XF86AudioLowerVolume and XF86AudioMute, which the
// compositor's own bindings see); lock and suspend through logind as on
// X11. Display sleep is refused: a compositor's power-off does not end at
// the next input as DPMS does, so the phone could not wake the screen.
std::unique_ptr<SystemCommandRunner> makeWlrootsSystemCommands(std::function<bool(MediaKey, bool down)> volumeKeys,
                                                               kit::Logger log);

// Window-management actions as sway commands over its IPC socket
// (`swaySocket` empty: none, so nothing is performed and the host presses
// its own keys): workspace left and right are `workspace prev_on_output`
// and `workspace next_on_output`. Sway has no overview, application view
// or show-desktop. No binding of the compositor's is reported: its config
// is its own.
class SwayShortcuts final : public DesktopShortcuts {
 public:
  explicit SwayShortcuts(std::string swaySocket) : socket_(std::move(swaySocket)) {}
  DesktopShortcut shortcut(std::string_view hotKeyId) override;
  bool performDirectly(std::string_view hotKeyId) override;

  // The sway command for a host hot key id; empty when there is none.
  static std::string_view command(std::string_view hotKeyId);

 private:
  std::string socket_;
};

}  // namespace tillerpad::platform::wlroots
