#include "platform/linux/wayland_system_commands.h"

#include "platform/linux/linux_system_commands.h"
#include "platform/linux/mpris_remote.h"

namespace tillerpad::platform::linux_x11 {

std::unique_ptr<SystemCommandRunner> makeWaylandSystemCommands(std::function<bool(MediaKey, bool)> volumeKeys,
                                                               kit::Logger log) {
  auto mpris = std::make_shared<MprisRemote>(std::move(log));
  LinuxSystemCommands::SessionHooks hooks;
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
  return std::make_unique<LinuxSystemCommands>(std::move(hooks));
}

}  // namespace tillerpad::platform::linux_x11
