#pragma once

// Stand-in for platform/linux/desktop_backend.h until that seam is merged:
// the same BackendContext fields and DesktopBackend accessors this backend
// uses. On merge, this file goes and wlroots_backend.h includes the seam.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kit/common/log.h"
#include "platform/app_workspace.h"
#include "platform/desktop_shortcuts.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"
#include "platform/keyboard_layout_source.h"
#include "platform/pasteboard.h"
#include "platform/permission_probe.h"
#include "platform/screen_capture.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform {

struct BackendContext {
  std::function<kit::Logger(std::string category)> logger;
  std::string x11Display;
  // A name in $XDG_RUNTIME_DIR or an absolute path; empty: $WAYLAND_DISPLAY.
  std::string waylandDisplay;
};

class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  virtual std::string_view name() const = 0;
  virtual InputEventSink* input() { return nullptr; }
  virtual DisplayQuery* displays() { return nullptr; }
  virtual KeyboardLayoutSource* keyboardLayouts() { return nullptr; }
  virtual SystemCommandRunner* systemCommands() { return nullptr; }
  virtual DesktopShortcuts* shortcuts() { return nullptr; }
  virtual ScreenCapture* screenCapture() { return nullptr; }
  virtual Pasteboard* pasteboard() { return nullptr; }
  virtual PermissionProbe* permissions() { return nullptr; }
  virtual std::unique_ptr<AppWorkspace> openAppWorkspace() { return nullptr; }
};

}  // namespace tillerpad::platform
