#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kit/common/log.h"
#include "kit/wire/command_messages.h"
#include "kit/wire/input_messages.h"

namespace tillerpad::platform {
class SystemCommandRunner;
class DesktopShortcuts;
}  // namespace tillerpad::platform

namespace tillerpad::host {

class InputInjector;

// Media keys, power actions and window-management shortcuts requested by
// the phone. Called on the service thread; key presses go through the
// injector's queue, power requests run without being waited for.
class SystemCommands {
 public:
  struct Shortcut {
    std::uint16_t keyCode = 0;
    kit::Modifiers modifiers;
    bool isDefault = false;  // the built-in binding, not the desktop's own
    friend bool operator==(const Shortcut&, const Shortcut&) = default;
  };

  // Logs under the categories "power" and "mission-control" of `log`'s subsystem.
  SystemCommands(platform::SystemCommandRunner& runner, platform::DesktopShortcuts& shortcuts, const kit::Logger& log);

  void performMedia(const kit::MediaAction& action);
  void performPower(const kit::PowerAction& action);
  // True when the action was carried out; false when it has no shortcut
  // (the session answers "shortcutDisabled").
  bool performMissionControl(const kit::MissionControlAction& action, InputInjector& injector);
  // Absent when the action is unknown or the user switched it off.
  std::optional<Shortcut> shortcut(const kit::MissionControlAction& action);
  // "sleepnow", "displaysleepnow" or "locksession", started without waiting.
  void runPowerTool(const std::string& argument);

 private:
  platform::SystemCommandRunner& runner_;
  platform::DesktopShortcuts& shortcuts_;
  kit::Logger powerLog_;
  kit::Logger missionControlLog_;
};

}  // namespace tillerpad::host
