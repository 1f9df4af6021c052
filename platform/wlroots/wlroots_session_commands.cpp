#include "platform/wlroots/wlroots_session_commands.h"

#include "platform/linux/linux_system_commands.h"
#include "platform/linux/mpris_remote.h"
#include "platform/wlroots/sway_ipc.h"

namespace tillerpad::platform::wlroots {

std::unique_ptr<SystemCommandRunner> makeWlrootsSystemCommands(std::function<bool(MediaKey, bool)> volumeKeys,
                                                               kit::Logger log) {
  auto mpris = std::make_shared<linux_x11::MprisRemote>(std::move(log));
  linux_x11::LinuxSystemCommands::SessionHooks hooks;
  hooks.mediaKey = [mpris, volumeKeys = std::move(volumeKeys)](MediaKey key, bool down) {
    switch (key) {
      case MediaKey::play:
      case MediaKey::next:
      case MediaKey::previous:
        // One call per press; the release has nothing to do.
        return down ? mpris->press(key) : true;
      default:
        return volumeKeys && volumeKeys(key, down);
    }
  };
  hooks.displaysOff = [] { return std::optional<std::string>("display sleep is not available on this desktop"); };
  return std::make_unique<linux_x11::LinuxSystemCommands>(std::move(hooks));
}

std::string_view SwayShortcuts::command(std::string_view hotKeyId) {
  if (hotKeyId == "79") return "workspace prev_on_output";
  if (hotKeyId == "81") return "workspace next_on_output";
  return {};
}

DesktopShortcut SwayShortcuts::shortcut(std::string_view) { return {}; }

bool SwayShortcuts::performDirectly(std::string_view hotKeyId) {
  auto sway = command(hotKeyId);
  if (socket_.empty() || sway.empty()) return false;
  return sway_ipc::run(socket_, sway);
}

}  // namespace tillerpad::platform::wlroots
