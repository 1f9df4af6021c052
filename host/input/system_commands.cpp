#include "host/input/system_commands.h"

#include <array>
#include <string_view>

#include "host/input/input_injector.h"
#include "platform/desktop_shortcuts.h"
#include "platform/system_command_runner.h"

namespace tillerpad::host {
namespace {

using platform::MediaKey;

struct MediaRow {
  std::string_view action;
  MediaKey key;
};

constexpr std::array<MediaRow, 6> kMediaKeys{{
    {"volumeUp", MediaKey::soundUp},
    {"volumeDown", MediaKey::soundDown},
    {"mute", MediaKey::mute},
    {"playPause", MediaKey::play},
    {"nextTrack", MediaKey::next},
    {"previousTrack", MediaKey::previous},
}};

struct WindowAction {
  std::string_view action;
  std::string_view hotKeyId;
  std::uint16_t defaultKeyCode;
  std::int64_t defaultModifiers;
};

constexpr std::array<WindowAction, 5> kWindowActions{{
    {"missionControl", "32", 126, kit::Modifiers::controlBit},
    {"appWindows", "33", 125, kit::Modifiers::controlBit},
    {"showDesktop", "36", 103, 0},
    {"spaceLeft", "79", 123, kit::Modifiers::controlBit},
    {"spaceRight", "81", 124, kit::Modifiers::controlBit},
}};

constexpr std::uint16_t kNoKey = 65535;

const WindowAction* windowAction(std::string_view action) {
  for (const auto& row : kWindowActions) {
    if (row.action == action) return &row;
  }
  return nullptr;
}

kit::Modifiers modifiersFromFlags(std::uint64_t flags) {
  kit::Modifiers m;
  if (flags & 0x100000) m |= kit::Modifiers::command();
  if (flags & 0x80000) m |= kit::Modifiers::option();
  if (flags & 0x40000) m |= kit::Modifiers::control();
  if (flags & 0x20000) m |= kit::Modifiers::shift();
  return m;
}

}  // namespace

SystemCommands::SystemCommands(platform::SystemCommandRunner& runner, platform::DesktopShortcuts& shortcuts,
                               const kit::Logger& log)
    : runner_(runner),
      shortcuts_(shortcuts),
      powerLog_(log.withCategory("power")),
      missionControlLog_(log.withCategory("mission-control")) {}

void SystemCommands::performMedia(const kit::MediaAction& action) {
  for (const auto& row : kMediaKeys) {
    if (row.action != action.rawValue) continue;
    runner_.postMediaKey(row.key, true);
    runner_.postMediaKey(row.key, false);
    return;
  }
}

void SystemCommands::performPower(const kit::PowerAction& action) {
  const std::string& raw = action.rawValue;
  if (raw == "lock") {
    runPowerTool("locksession");
  } else if (raw == "sleep") {
    runPowerTool("sleepnow");
  } else if (raw == "displaySleep") {
    runPowerTool("displaysleepnow");
  } else {
    powerLog_.notice("Ignoring unknown power action " + raw);
  }
}

void SystemCommands::runPowerTool(const std::string& argument) {
  platform::PowerRequest request;
  if (argument == "sleepnow") {
    request = platform::PowerRequest::suspend;
  } else if (argument == "displaysleepnow") {
    request = platform::PowerRequest::displaySleep;
  } else if (argument == "locksession") {
    request = platform::PowerRequest::lockSession;
  } else {
    powerLog_.error("pmset " + argument + " failed: unknown argument");
    return;
  }
  runner_.startPower(request, [log = powerLog_, argument](const std::string& error) {
    log.error("pmset " + argument + " failed: " + error);
  });
}

std::optional<SystemCommands::Shortcut> SystemCommands::shortcut(const kit::MissionControlAction& action) {
  const WindowAction* row = windowAction(action.rawValue);
  if (!row) return std::nullopt;
  Shortcut fallback{row->defaultKeyCode, kit::Modifiers{row->defaultModifiers}, true};
  platform::DesktopShortcut setting = shortcuts_.shortcut(row->hotKeyId);
  switch (setting.state) {
    case platform::DesktopShortcut::State::disabled:
      return std::nullopt;
    case platform::DesktopShortcut::State::notSet:
      return fallback;
    case platform::DesktopShortcut::State::bound:
      if (setting.keyCode == kNoKey) return fallback;
      return Shortcut{setting.keyCode, modifiersFromFlags(setting.modifierFlags), false};
  }
  return fallback;
}

bool SystemCommands::performMissionControl(const kit::MissionControlAction& action, InputInjector& injector) {
  auto resolved = shortcut(action);
  const WindowAction* row = windowAction(action.rawValue);
  if (!resolved || !row) {
    missionControlLog_.notice("No shortcut for " + action.rawValue + " (turned off?)");
    return false;
  }
  // Without a binding of its own the desktop is asked directly where it can
  // be; the built-in keys are the last resort.
  if (resolved->isDefault && shortcuts_.performDirectly(row->hotKeyId)) {
    missionControlLog_.notice(action.rawValue + ": window manager request");
    return true;
  }
  missionControlLog_.notice(action.rawValue + ": key " + std::to_string(resolved->keyCode) + " modifiers " +
                            std::to_string(resolved->modifiers.rawValue));
  injector.pressKeyCode(resolved->keyCode, resolved->modifiers);
  return true;
}

}  // namespace tillerpad::host
