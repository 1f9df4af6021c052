#pragma once

#include <memory>

#include "platform/permission_probe.h"
#include "platform/wlroots/backend_seam.h"
#include "platform/wlroots/wayland_connection.h"

namespace tillerpad::platform::wlroots {

class WlrScreenCapture;

// Input is permitted when both virtual devices could be made; the screen
// when a capture can start (screencopy offered and one frame came back; the
// answer is kept).
class WlrootsPermissionProbe : public PermissionProbe {
 public:
  WlrootsPermissionProbe(bool inputDevices, std::shared_ptr<WaylandConnection> connection)
      : inputDevices_(inputDevices), connection_(std::move(connection)) {}
  bool canSynthesizeInput() override { return inputDevices_ && !connection_->lost(); }
  bool canCaptureScreen() override;
  // Asked for the screen when set.
  WlrScreenCapture* capture = nullptr;

 private:
  bool inputDevices_;
  std::shared_ptr<WaylandConnection> connection_;
};

// The wlroots session at context.waylandDisplay: null when the compositor
// cannot be reached. Parts not built yet are null.
std::unique_ptr<DesktopBackend> openWlrootsBackend(const BackendContext& context);

}  // namespace tillerpad::platform::wlroots
