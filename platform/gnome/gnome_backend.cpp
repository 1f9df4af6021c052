#include "platform/gnome/gnome_backend.h"

#include "platform/gnome/gnome_input.h"
#include "platform/gnome/gnome_pasteboard.h"
#include "platform/gnome/gnome_permission_probe.h"
#include "platform/gnome/gnome_screen_capture.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/linux/wayland_system_commands.h"

namespace tillerpad::platform::gnome {
namespace {

class GnomeBackend : public DesktopBackend {
 public:
  GnomeBackend(const BackendContext& context, std::shared_ptr<MutterRemoteDesktop> desktop)
      : desktop_(std::move(desktop)),
        pasteboard_(desktop_, context.logger("clipboard")),
        input_(desktop_,
               [this](const std::string& utf8, const std::function<void()>& pressPaste) {
                 return pasteboard_.pasteText(utf8, pressPaste);
               },
               context.logger("input")),
        screen_(desktop_, context.logger("screen")),
        permissions_(desktop_),
        commands_(linux_x11::makeWaylandSystemCommands(
            [this](MediaKey key, bool down) { return input_.postMediaKey(key, down); }, context.logger("media"))) {}

  InputEventSink* input() override { return &input_; }
  DisplayQuery* displays() override { return &input_; }
  // Layouts and shortcuts are GNOME's own business on Wayland; installed
  // applications come from the host's Linux catalog (GNOME tells a client
  // without shell extensions nothing of the running ones).
  KeyboardLayoutSource* keyboardLayouts() override { return nullptr; }
  SystemCommandRunner* systemCommands() override { return commands_.get(); }
  DesktopShortcuts* shortcuts() override { return nullptr; }
  ScreenCapture* screenCapture() override { return &screen_; }
  Pasteboard* pasteboard() override { return &pasteboard_; }
  PermissionProbe* permissions() override { return &permissions_; }
  std::unique_ptr<AppWorkspace> openAppWorkspace() override { return nullptr; }
  std::string_view name() const override { return "gnome"; }

 private:
  std::shared_ptr<MutterRemoteDesktop> desktop_;
  GnomePasteboard pasteboard_;
  GnomeInput input_;
  GnomeScreenCapture screen_;
  GnomePermissionProbe permissions_;
  std::unique_ptr<SystemCommandRunner> commands_;  // uses input_
};

}  // namespace

std::unique_ptr<DesktopBackend> openGnomeBackend(const BackendContext& context) {
  auto desktop = MutterRemoteDesktop::open({}, context.logger("gnome"));
  if (!desktop) return nullptr;
  return std::make_unique<GnomeBackend>(context, std::move(desktop));
}

}  // namespace tillerpad::platform::gnome
