#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/wire/blob.h"
#include "kit/wire/open_text.h"

namespace tillerpad::kit {

struct MediaAction : OpenText<MediaAction> {
  using OpenText::OpenText;
  static const MediaAction playPause;
  static const MediaAction nextTrack;
  static const MediaAction previousTrack;
  static const MediaAction volumeUp;
  static const MediaAction volumeDown;
  static const MediaAction mute;
};

inline const MediaAction MediaAction::playPause{"playPause"};
inline const MediaAction MediaAction::nextTrack{"nextTrack"};
inline const MediaAction MediaAction::previousTrack{"previousTrack"};
inline const MediaAction MediaAction::volumeUp{"volumeUp"};
inline const MediaAction MediaAction::volumeDown{"volumeDown"};
inline const MediaAction MediaAction::mute{"mute"};

struct PowerAction : OpenText<PowerAction> {
  using OpenText::OpenText;
  static const PowerAction lock;
  static const PowerAction sleep;
  static const PowerAction displaySleep;
};

inline const PowerAction PowerAction::lock{"lock"};
inline const PowerAction PowerAction::sleep{"sleep"};
inline const PowerAction PowerAction::displaySleep{"displaySleep"};

struct MissionControlAction : OpenText<MissionControlAction> {
  using OpenText::OpenText;
  static const MissionControlAction missionControl;
  static const MissionControlAction appWindows;
  static const MissionControlAction showDesktop;
  static const MissionControlAction spaceLeft;
  static const MissionControlAction spaceRight;
};

inline const MissionControlAction MissionControlAction::missionControl{"missionControl"};
inline const MissionControlAction MissionControlAction::appWindows{"appWindows"};
inline const MissionControlAction MissionControlAction::showDesktop{"showDesktop"};
inline const MissionControlAction MissionControlAction::spaceLeft{"spaceLeft"};
inline const MissionControlAction MissionControlAction::spaceRight{"spaceRight"};

struct MediaCommand {
  MediaAction action;
  friend bool operator==(const MediaCommand&, const MediaCommand&) = default;
};

struct PowerCommand {
  PowerAction action;
  friend bool operator==(const PowerCommand&, const PowerCommand&) = default;
};

struct MissionControlCommand {
  MissionControlAction action;
  friend bool operator==(const MissionControlCommand&, const MissionControlCommand&) = default;
};

struct MacApp {
  std::string bundleID;
  std::string name;
  bool isRunning = false;
  bool isActive = false;
  friend bool operator==(const MacApp&, const MacApp&) = default;
};

struct AppListRequest {
  friend bool operator==(const AppListRequest&, const AppListRequest&) = default;
};

struct AppList {
  std::vector<MacApp> apps;
  friend bool operator==(const AppList&, const AppList&) = default;
};

struct AppIconRequest {
  std::string bundleID;
  std::int64_t pixelSize = 0;
  friend bool operator==(const AppIconRequest&, const AppIconRequest&) = default;
};

struct AppIcon {
  std::string bundleID;
  std::int64_t pixelSize = 0;
  Blob png;
  friend bool operator==(const AppIcon&, const AppIcon&) = default;
};

struct AppOpen {
  std::string bundleID;
  friend bool operator==(const AppOpen&, const AppOpen&) = default;
};

}  // namespace tillerpad::kit
