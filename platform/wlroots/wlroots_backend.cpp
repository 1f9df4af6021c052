#include "platform/wlroots/wlroots_backend.h"

#include <wayland-client.h>

#include "platform/linux/wayland_system_commands.h"
#include "platform/wlroots/sway_ipc.h"
#include "platform/wlroots/wlr_input.h"
#include "platform/wlroots/wlr_pasteboard.h"
#include "platform/wlroots/wlr_screen_capture.h"
#include "platform/wlroots/wlroots_app_workspace.h"
#include "platform/wlroots/wlroots_session_commands.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"
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
  SystemCommandRunner* systemCommands() override { return commands.get(); }
  DesktopShortcuts* shortcuts() override { return swayShortcuts.get(); }
  ScreenCapture* screenCapture() override { return screen.get(); }
  Pasteboard* pasteboard() override { return clipboard.get(); }
  std::unique_ptr<AppWorkspace> openAppWorkspace() override {
    return openWlrootsAppWorkspace(connection, socket, appsLog);
  }

  // Declared first: destroyed last, after every part that uses it.
  std::shared_ptr<WaylandConnection> connection;
  std::string socket;
  kit::Logger appsLog;
  std::unique_ptr<WlrInput> wlrInput;
  std::unique_ptr<WlrScreenCapture> screen;
  std::unique_ptr<WlrPasteboard> clipboard;
  std::unique_ptr<WlrootsPermissionProbe> probe;
  // After the input: its volume keys go through the virtual keyboard.
  std::unique_ptr<SystemCommandRunner> commands;
  std::unique_ptr<SwayShortcuts> swayShortcuts;
};

}  // namespace

bool WlrootsPermissionProbe::canCaptureScreen() {
  if (connection_->lost() || connection_->global(&zwlr_screencopy_manager_v1_interface) == nullptr) return false;
  return !screen_ || screen_->capturePermitted();
}

std::unique_ptr<DesktopBackend> openWlrootsBackend(const BackendContext& context) {
  auto logger = [&](const char* category) { return context.logger ? context.logger(category) : kit::Logger(); };
  // Every global the backend's parts use, at the versions they were written
  // for. Not the foreign-toplevel manager: it lists the toplevels as soon as
  // it is bound, so the application workspace binds it on a registry of its
  // own with the listener in place.
  std::vector<WantedGlobal> wanted{
      {&zwlr_virtual_pointer_manager_v1_interface, 2}, {&zwp_virtual_keyboard_manager_v1_interface, 1},
      {&zwlr_screencopy_manager_v1_interface, 3},      {&zwlr_data_control_manager_v1_interface, 2},
      {&xdg_activation_v1_interface, 1},               {&wl_shm_interface, 1}};
  std::shared_ptr<WaylandConnection> connection =
      WaylandConnection::open(context.waylandDisplay, std::move(wanted), logger("wayland"));
  if (!connection) return nullptr;
  auto backend = std::make_unique<WlrootsBackend>();
  backend->connection = connection;
  backend->appsLog = logger("apps");
  backend->wlrInput = WlrInput::open(connection, logger("input"));
  if (connection->global(&zwlr_screencopy_manager_v1_interface)) {
    backend->screen = std::make_unique<WlrScreenCapture>(connection, logger("screen"));
  }
  if (connection->global(&zwlr_data_control_manager_v1_interface)) {
    backend->clipboard = std::make_unique<WlrPasteboard>(connection, WlrPasteboard::Options{}, logger("clipboard"));
  } else {
    logger("clipboard").notice("The compositor offers no data-control protocol: the clipboard is not shared");
  }
  backend->probe =
      std::make_unique<WlrootsPermissionProbe>(backend->wlrInput != nullptr, connection, backend->screen.get());
  backend->socket = context.waylandDisplay;
  WlrInput* input = backend->wlrInput.get();
  backend->commands = linux_x11::makeWaylandSystemCommands(
      [input](MediaKey key, bool down) { return input && input->postMediaKey(key, down); }, logger("media"));
  backend->swayShortcuts = std::make_unique<SwayShortcuts>(sway_ipc::socketFromEnvironment());
  return backend;
}

}  // namespace tillerpad::platform::wlroots
