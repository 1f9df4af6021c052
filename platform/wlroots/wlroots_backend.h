#pragma once

#include <memory>

#include "platform/permission_probe.h"
#include "platform/linux/desktop_backend.h"
#include "platform/wlroots/wayland_connection.h"
#include "platform/wlroots/wlr_screen_capture.h"

namespace tillerpad::platform::wlroots {

// Input is permitted when both virtual devices could be made; the screen
// when the compositor offers screencopy and a first frame came back.
class WlrootsPermissionProbe : public PermissionProbe {
 public:
  WlrootsPermissionProbe(bool inputDevices, std::shared_ptr<WaylandConnection> connection,
                         WlrScreenCapture* screen = nullptr)
      : inputDevices_(inputDevices), connection_(std::move(connection)), screen_(screen) {}
  bool canSynthesizeInput() override { return inputDevices_ && !connection_->lost(); }
  bool canCaptureScreen() override;

 private:
  bool inputDevices_;
  std::shared_ptr<WaylandConnection> connection_;
  WlrScreenCapture* screen_;
};

// The wlroots session at context.waylandDisplay: null when the compositor
// cannot be reached. Parts not built yet are null.
std::unique_ptr<DesktopBackend> openWlrootsBackend(const BackendContext& context);

}  // namespace tillerpad::platform::wlroots
