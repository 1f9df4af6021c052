#pragma once

#include "host/app/ui_bridge.h"
#include "platform/permission_settings.h"

namespace tillerpad::host {

// The bridge's "Open System Settings" through a platform's opener, which must
// outlive the bridge.
inline UiBridge::OpenPermissionSettings openPermissionSettingsWith(platform::PermissionSettings& settings) {
  return [&settings](UiActions::Permission permission) {
    settings.open(permission == UiActions::Permission::accessibility ? platform::SystemPermission::synthesizeInput
                                                                      : platform::SystemPermission::captureScreen);
  };
}

}  // namespace tillerpad::host
