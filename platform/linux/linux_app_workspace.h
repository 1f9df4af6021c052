#pragma once

#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/app_workspace.h"

namespace tillerpad::platform::linux_apps {

// The desktop's applications on a Linux desktop: desktop entries in the XDG
// data folders (read through GIO), the windows an EWMH window manager lists
// (on an X connection and thread of the adapter's own), icons from the
// user's icon theme, launches through GDesktopAppInfo. Without a display or
// without an EWMH window manager it still describes installed applications;
// then nothing runs. `display` empty: $DISPLAY. Log category "apps".
std::unique_ptr<AppWorkspace> openLinuxAppWorkspace(const std::string& display, kit::Logger log);

}  // namespace tillerpad::platform::linux_apps
