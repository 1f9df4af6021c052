#pragma once

#include <filesystem>
#include <string>

#include "platform/login_item_service.h"

namespace tillerpad::platform {

// Launch at login through an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<app id>.desktop, which every desktop session
// that follows the XDG conventions starts at login. An entry that the user
// switched off ("Hidden=true" or "X-GNOME-Autostart-enabled=false") counts as
// not registered. The entry written is packaging's autostart template with
// the executable's own path.
class XdgAutostart : public LoginItemService {
 public:
  // At login the application starts in the tray without opening a window.
  static constexpr const char* quietOption = "--quiet";

  XdgAutostart(std::filesystem::path entry, std::string executable);

  static std::filesystem::path defaultEntry(const std::string& appID);

  Status status() const override;
  void registerApp() override;
  void unregisterApp() override;

 private:
  std::filesystem::path entry_;
  std::string executable_;
};

}  // namespace tillerpad::platform
