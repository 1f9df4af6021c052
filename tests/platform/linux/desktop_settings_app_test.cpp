#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/linux/desktop_settings_app.h"
#include "tests/platform/linux/temp_dir.h"

namespace tillerpad::platform::linux_apps {
namespace {

namespace fs = std::filesystem;

TEST(DesktopSettingsAppTest, OpensTheSettingsApplicationOfTheRunningDesktopOnly) {
  struct Case {
    const char* desktops;  // $XDG_CURRENT_DESKTOP
    std::vector<std::string> installed;
    std::string opened;  // the entry whose program ran; empty: none
  };
  const Case cases[] = {
      {"ubuntu:GNOME", {"systemsettings", "gnome-control-center"}, "gnome-control-center"},
      {"KDE", {"gnome-control-center", "systemsettings"}, "systemsettings"},
      {"XFCE", {"gnome-control-center"}, ""},  // another desktop's settings are never opened instead
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.desktops);
    test::TempDir data;
    fs::create_directories(data.path() / "applications");
    for (const auto& id : c.installed) {
      std::ofstream(data.path() / "applications" / (id + ".desktop"))
          << "[Desktop Entry]\nType=Application\nName=" << id << "\nExec=touch " << (data.path() / id).string()
          << "\n";
    }
    test::ScopedEnv home("XDG_DATA_HOME", data.path().c_str());
    test::ScopedEnv dirs("XDG_DATA_DIRS", (data.path() / "none").c_str());
    test::ScopedEnv desktop("XDG_CURRENT_DESKTOP", c.desktops);
    auto log = std::make_shared<kit::RecordingLogSink>();
    DesktopSettingsApp app(kit::Logger(log, "app.tillerpad.Tillerpad", "permissions"));

    app.open(SystemPermission::synthesizeInput);

    EXPECT_EQ(log->count(c.opened.empty() ? std::string("No settings application found for the desktop ") + c.desktops
                                          : "Opened the desktop's settings: " + c.opened),
              1u);
    // The program runs detached: the one launched is waited for, with a limit.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!c.opened.empty() && !fs::exists(data.path() / c.opened) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto& id : c.installed) EXPECT_EQ(fs::exists(data.path() / id), id == c.opened) << id;
  }
}

}  // namespace
}  // namespace tillerpad::platform::linux_apps
