#include "platform/wlroots/wlroots_backend.h"

#include <wayland-client.h>

#include "platform/wlroots/wlr_input.h"
#include "platform/wlroots/wlr_pasteboard.h"
#include "platform/wlroots/wlr_screen_capture.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"
#include "xdg-activation-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

class WlrootsBackend : public DesktopBackend {
 public:
  std::string_view name() const override { return "wlroots"; }
  InputEventSink* input() override { return wlrInput.get(); }
  DisplayQuery* displays() override { return wlrInput.get(); }
  KeyboardLayoutSource* keyboardLayouts() override { return wlrInput.get(); }
  PermissionProbe* permissions() override { return probe.get(); }
  ScreenCapture* screenCapture() override { return capture.get(); }
  Pasteboard* pasteboard() override { return clipboard.get(); }

  // Declared first: destroyed last, after every part that uses it.
  std::shared_ptr<WaylandConnection> connection;
  std::unique_ptr<WlrInput> wlrInput;
  std::unique_ptr<WlrScreenCapture> capture;
  std::unique_ptr<WlrPasteboard> clipboard;
  std::unique_ptr<WlrootsPermissionProbe> probe;
};

}  // namespace

bool WlrootsPermissionProbe::canCaptureScreen() {
  if (capture) return !connection_->lost() && capture->capturePermitted();
  return !connection_->lost() && connection_->global(&zwlr_screencopy_manager_v1_interface) != nullptr;
}

std::unique_ptr<DesktopBackend> openWlrootsBackend(const BackendContext& context) {
  auto logger = [&](const char* category) { return context.logger ? context.logger(category) : kit::Logger(); };
  // Every global the backend's parts use, at the versions they were written for.
  std::vector<WantedGlobal> wanted{
      {&zwlr_virtual_pointer_manager_v1_interface, 2}, {&zwp_virtual_keyboard_manager_v1_interface, 1},
      {&zwlr_screencopy_manager_v1_interface, 3},      {&zwlr_data_control_manager_v1_interface, 2},
      {&zwlr_foreign_toplevel_manager_v1_interface, 3}, {&xdg_activation_v1_interface, 1},
      {&wl_shm_interface, 1}};
  std::shared_ptr<WaylandConnection> connection =
      WaylandConnection::open(context.waylandDisplay, std::move(wanted), logger("wayland"));
  if (!connection) return nullptr;
  auto backend = std::make_unique<WlrootsBackend>();
  backend->connection = connection;
  backend->wlrInput = WlrInput::open(connection, logger("input"));
  if (connection->global(&zwlr_screencopy_manager_v1_interface)) {
    backend->capture = std::make_unique<WlrScreenCapture>(connection, logger("screen"));
  }
  if (connection->global(&zwlr_data_control_manager_v1_interface)) {
    backend->clipboard = std::make_unique<WlrPasteboard>(connection, WlrPasteboard::Options{}, logger("clipboard"));
  }
  backend->probe = std::make_unique<WlrootsPermissionProbe>(backend->wlrInput != nullptr, connection);
  backend->probe->capture = backend->capture.get();
  return backend;
}

}  // namespace tillerpad::platform::wlroots
