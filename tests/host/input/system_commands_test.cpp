#include "host/input/system_commands.h"

#include <gtest/gtest.h>

#include <set>

#include "host/input/input_injector.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/recording_input.h"
#include "tests/host/input/recorded_events.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using platform::DesktopShortcut;
using platform::KeyEvent;
using platform::MediaKey;
using platform::PowerRequest;
using platform::fake::FakeSystemCommands;
using platform::fake::RecordedInput;
using State = DesktopShortcut::State;
using Shortcut = SystemCommands::Shortcut;

class SystemCommandsTest : public ::testing::Test {
 protected:
  std::vector<RecordedInput> pressed() {
    EXPECT_TRUE(injector.waitIdle(5s));
    return input.takeEvents();
  }

  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  kit::Logger log{logs, "Tillerpad", "input"};
  FakeSystemCommands platform;
  platform::fake::RecordingInput input;
  InputInjector injector{input, input, 0.5, log, [] { return 1.0; }};
  SystemCommands commands{platform, platform, log};
};

// Each media action presses one key of its own, down then up; an action the
// desktop does not know presses nothing.
TEST_F(SystemCommandsTest, MediaKeysGoDownThenUp) {
  using A = kit::MediaAction;
  std::set<MediaKey> keys;
  for (const auto& action : {A::volumeUp, A::volumeDown, A::mute, A::playPause, A::nextTrack, A::previousTrack}) {
    platform.media.clear();
    commands.performMedia(action);
    ASSERT_EQ(platform.media.size(), 2u) << action.rawValue;
    EXPECT_EQ(platform.media[0].key, platform.media[1].key);
    EXPECT_TRUE(platform.media[0].down && !platform.media[1].down) << action.rawValue;
    keys.insert(platform.media[0].key);
  }
  EXPECT_EQ(keys.size(), 6u);
  platform.media.clear();
  commands.performMedia(A::volumeUp);
  commands.performMedia(A::volumeDown);
  EXPECT_EQ(platform.media[0].key, MediaKey::soundUp);
  EXPECT_EQ(platform.media[2].key, MediaKey::soundDown);
  platform.media.clear();
  commands.performMedia(A("eject"));
  EXPECT_TRUE(platform.media.empty());
}

TEST_F(SystemCommandsTest, PowerActionsStartRequestsAndLogFailures) {
  platform.failures[PowerRequest::suspend] = "no system bus";
  commands.performPower(kit::PowerAction::lock);
  commands.performPower(kit::PowerAction::sleep);
  commands.performPower(kit::PowerAction::displaySleep);
  commands.performPower(kit::PowerAction("restart"));
  EXPECT_EQ(platform.power, (std::vector<PowerRequest>{PowerRequest::lockSession, PowerRequest::suspend,
                                                        PowerRequest::displaySleep}));
  EXPECT_EQ(logs->count("pmset sleepnow failed: no system bus"), 1u);
  EXPECT_EQ(logs->count("Ignoring unknown power action restart"), 1u);
  for (const auto& r : logs->records()) EXPECT_EQ(r.category, "power");
  EXPECT_TRUE(pressed().empty());  // locking presses no keys
}

TEST_F(SystemCommandsTest, ShortcutResolution) {
  struct Case {
    const char* name;
    kit::MissionControlAction action;
    std::optional<DesktopShortcut> setting;
    std::optional<Shortcut> expected;
  };
  const auto control = kit::Modifiers::control();
  std::vector<Case> cases = {
      {"default", kit::MissionControlAction::spaceRight, std::nullopt, Shortcut{124, control, true}},
      {"show desktop default", kit::MissionControlAction::showDesktop, std::nullopt,
       Shortcut{103, kit::Modifiers::none(), true}},
      {"secondary-function bit ignored", kit::MissionControlAction::spaceRight,
       DesktopShortcut{State::bound, 124, 8650752}, Shortcut{124, control, false}},
      {"all four modifiers", kit::MissionControlAction::missionControl,
       DesktopShortcut{State::bound, 1, 0x1E0000},
       Shortcut{1, kit::Modifiers{kit::Modifiers::commandBit | kit::Modifiers::optionBit |
                                  kit::Modifiers::controlBit | kit::Modifiers::shiftBit},
                false}},
      {"no key assigned", kit::MissionControlAction::appWindows, DesktopShortcut{State::bound, 65535, 0x40000},
       Shortcut{125, control, true}},
      {"switched off", kit::MissionControlAction::missionControl, DesktopShortcut{State::disabled, 0, 0},
       std::nullopt},
      {"unknown action", kit::MissionControlAction("launchpad"), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    platform.shortcuts.clear();
    if (c.setting) {
      // Only the action's own hot key id counts.
      for (auto [action, id] : {std::pair{"missionControl", "32"}, std::pair{"appWindows", "33"},
                                std::pair{"showDesktop", "36"}, std::pair{"spaceLeft", "79"},
                                std::pair{"spaceRight", "81"}}) {
        if (c.action.rawValue == action) platform.shortcuts[id] = *c.setting;
      }
    }
    EXPECT_EQ(commands.shortcut(c.action), c.expected) << c.name;
  }
}

TEST_F(SystemCommandsTest, MissionControlPressesTheShortcutThroughTheInjector) {
  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::spaceRight, injector));
  EXPECT_EQ(pressed(), (std::vector<RecordedInput>{KeyEvent{59, true, 0x40000}, KeyEvent{124, true, 0xA40000},
                                                    KeyEvent{124, false, 0xA40000}, KeyEvent{59, false, 0}}));
  EXPECT_EQ(logs->count("spaceRight: key 124 modifiers 4"), 1u);

  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::showDesktop, injector));
  EXPECT_EQ(pressed(), (std::vector<RecordedInput>{KeyEvent{103, true, 0x800000}, KeyEvent{103, false, 0x800000}}));
}

TEST_F(SystemCommandsTest, UnsetShortcutsAskTheDesktopFirst) {
  platform.direct["36"] = true;
  platform.shortcuts["79"] = DesktopShortcut{State::bound, 123, 0xC0000};  // its own binding wins
  platform.direct["79"] = true;
  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::showDesktop, injector));
  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::spaceLeft, injector));
  EXPECT_EQ(platform.performedDirectly, (std::vector<std::string>{"36"}));
  EXPECT_EQ(pressed(), (std::vector<RecordedInput>{KeyEvent{59, true, 0x40000}, KeyEvent{58, true, 0xC0000},
                                                    KeyEvent{123, true, 0xAC0000}, KeyEvent{123, false, 0xAC0000},
                                                    KeyEvent{58, false, 0x40000}, KeyEvent{59, false, 0}}));
}

TEST_F(SystemCommandsTest, SwitchedOffOrUnknownActionsAreRefused) {
  platform.shortcuts["32"] = DesktopShortcut{State::disabled, 0, 0};
  platform.direct["32"] = true;
  EXPECT_FALSE(commands.performMissionControl(kit::MissionControlAction::missionControl, injector));
  EXPECT_FALSE(commands.performMissionControl(kit::MissionControlAction("launchpad"), injector));
  EXPECT_EQ(logs->count("No shortcut for missionControl (turned off?)"), 1u);
  EXPECT_EQ(logs->count("No shortcut for launchpad (turned off?)"), 1u);
  EXPECT_TRUE(platform.performedDirectly.empty());
  EXPECT_TRUE(pressed().empty());
  for (const auto& r : logs->records()) EXPECT_EQ(r.category, "mission-control");
}

}  // namespace
}  // namespace tillerpad::host
