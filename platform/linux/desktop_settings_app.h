#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kit/common/log.h"
#include "platform/permission_settings.h"

namespace tillerpad::platform::linux_apps {

// On X11 neither permission is granted per application: input is synthesised
// through the X server's XTEST extension and the screen is read from the root
// window, so both hold while the display answers. What the user can still do
// is look at the desktop's own settings, so "open" starts the settings
// application of the running desktop ($XDG_CURRENT_DESKTOP), found as an
// installed desktop entry and launched through GIO, and logs what the X
// server needs. Without a known desktop or its settings application only the
// log line is written. Log category "permissions".
class DesktopSettingsApp final : public PermissionSettings {
 public:
  explicit DesktopSettingsApp(kit::Logger log) : log_(std::move(log)) {}

  void open(SystemPermission permission) override;

  // Desktop-file ids of the settings application of these desktops, the
  // first desktop's first.
  static std::vector<std::string> candidates(const std::vector<std::string>& desktops);

 private:
  kit::Logger log_;
};

}  // namespace tillerpad::platform::linux_apps
