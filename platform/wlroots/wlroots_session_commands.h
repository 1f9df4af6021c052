#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kit/common/log.h"
#include "platform/desktop_shortcuts.h"

namespace tillerpad::platform::wlroots {

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
