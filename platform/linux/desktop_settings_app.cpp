#include "platform/linux/desktop_settings_app.h"

#include <gio/gdesktopappinfo.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/linux/desktop_entries.h"

namespace tillerpad::platform::linux_apps {
namespace {

// Ids differ between releases of the same desktop; older names last.
const std::map<std::string, std::vector<std::string>, std::less<>>& settingsApps() {
  static const std::map<std::string, std::vector<std::string>, std::less<>> apps = {
      {"GNOME", {"org.gnome.Settings", "gnome-control-center"}},
      {"Unity", {"org.gnome.Settings", "gnome-control-center", "unity-control-center"}},
      {"Budgie", {"budgie-control-center", "org.gnome.Settings", "gnome-control-center"}},
      {"KDE", {"systemsettings", "org.kde.systemsettings", "kdesystemsettings"}},
      {"XFCE", {"xfce-settings-manager"}},
      {"MATE", {"matecc", "mate-control-center"}},
      {"X-Cinnamon", {"cinnamon-settings"}},
      {"LXQt", {"lxqt-config"}},
  };
  return apps;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ":") + n;
  return out.empty() ? "none" : out;
}

// A session of its own, so that signals to the host's process group never
// reach the settings application.
void detachChild(gpointer) { ::setsid(); }

}  // namespace

std::vector<std::string> DesktopSettingsApp::candidates(const std::vector<std::string>& desktops) {
  std::vector<std::string> out;
  for (const auto& desktop : desktops) {
    auto it = settingsApps().find(desktop);
    if (it == settingsApps().end()) continue;
    for (const auto& id : it->second) {
      if (std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    }
  }
  return out;
}

void DesktopSettingsApp::open(SystemPermission permission) {
  log_.info(permission == SystemPermission::synthesizeInput
                ? "Input is synthesised through the X server's XTEST extension; it needs a reachable display that offers it"
                : "The screen is captured by reading the X server's root window; it needs a reachable display that allows it");
  auto desktops = currentDesktops();
  auto ids = candidates(desktops);
  for (const auto& id : ids) {
    for (const auto& folder : applicationFolders()) {
      auto entry = readDesktopEntry(folder, id + ".desktop", desktops);
      if (!entry) continue;
      GError* error = nullptr;
      // Standard output to /dev/null: the terminal front's output stays ours.
      auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL);
      gboolean ok = g_desktop_app_info_launch_uris_as_manager(entry->info.get(), nullptr, nullptr, flags, detachChild,
                                                              nullptr, nullptr, nullptr, &error);
      if (ok) {
        log_.info("Opened the desktop's settings: " + entry->id);
        return;
      }
      log_.error("Could not open " + entry->id + ": " + (error && error->message ? error->message : "the launch failed"));
      if (error) g_error_free(error);
      return;
    }
  }
  log_.info("No settings application found for the desktop " + joined(desktops));
}

}  // namespace tillerpad::platform::linux_apps
