#pragma once

// The shape of one desktop session's platform interfaces as the host chooses
// them at start. The shared header in platform/linux/ replaces this one when
// it lands; the GNOME backend codes against the same members.
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
};

// Each accessor may return null: the host then runs without that part.
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  virtual InputEventSink* input() = 0;
  virtual DisplayQuery* displays() = 0;
  virtual KeyboardLayoutSource* keyboardLayouts() = 0;
  virtual SystemCommandRunner* systemCommands() = 0;
  virtual DesktopShortcuts* shortcuts() = 0;
  virtual ScreenCapture* screenCapture() = 0;
  virtual Pasteboard* pasteboard() = 0;
  virtual PermissionProbe* permissions() = 0;
  virtual std::unique_ptr<AppWorkspace> openAppWorkspace() = 0;
  virtual std::string_view name() = 0;
};

}  // namespace tillerpad::platform
