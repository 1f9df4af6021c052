#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/log.h"
#include "platform/desktop_shortcuts.h"

namespace tillerpad::platform::linux_x11 {

// A GTK accelerator such as "<Control><Alt>Left" split into the host's
// modifier flags and the key's name; absent when it uses a modifier the
// host cannot press (Super, Hyper, Meta) or is malformed.
struct Accelerator {
  std::uint64_t modifierFlags = 0;
  std::string keyName;
  friend bool operator==(const Accelerator&, const Accelerator&) = default;
};
std::optional<Accelerator> parseAccelerator(std::string_view text);

// Window-management keybindings from the desktop's GSettings (GNOME's
// schemas, which Cinnamon, Budgie and others share), and EWMH requests to
// the window manager where no binding is usable. An empty list the user set
// means the action is switched off; an empty default means "not set".
class GnomeDesktopShortcuts : public DesktopShortcuts {
 public:
  // An empty display name means $DISPLAY.
  GnomeDesktopShortcuts(const std::string& displayName, kit::Logger log);
  ~GnomeDesktopShortcuts() override;

  DesktopShortcut shortcut(std::string_view hotKeyId) override;
  bool performDirectly(std::string_view hotKeyId) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
