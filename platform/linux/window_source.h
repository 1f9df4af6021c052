#pragma once

// Where the Linux application workspace learns which windows exist and how
// it brings one to the front: the X window manager's lists on X11, the
// compositor's toplevel list on Wayland. Desktop entries, matching, icons
// and launching stay with the workspace.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/common/log.h"
#include "platform/app_workspace.h"

struct _GAppLaunchContext;

namespace tillerpad::platform::linux_apps {

struct DesktopEntry;

// What the window list shows of one client window. On Wayland a toplevel's
// app_id fills gtkAppId and wmClass alike (it names the desktop entry where
// the client follows the convention, else it is a class-like name).
struct ClientWindow {
  unsigned long id = 0;  // the source's own, never 0
  std::string gtkAppId, wmName, wmClass;
  long pid = 0;                    // 0: unknown
  unsigned long transientFor = 0;  // the window this one belongs to
  bool shown = false;              // a window list would show it
  bool operator==(const ClientWindow&) const = default;
};

struct WindowSnapshot {
  std::vector<ClientWindow> windows;  // oldest first
  unsigned long active = 0;
  bool operator==(const WindowSnapshot&) const = default;
};

// Callers are the workspace's (one at a time, on the catalog's worker); a
// source calls its `changed` callback on a thread of its own.
class WindowSource {
 public:
  virtual ~WindowSource() = default;
  // A copy of the current list; cheap.
  virtual WindowSnapshot snapshot() = 0;
  // Asks for the window to come to the front; false when the request could
  // not be made.
  virtual bool activate(unsigned long window) = 0;
  // The window's own icon as _NET_WM_ICON items; nothing where windows have none.
  virtual std::optional<std::vector<unsigned long>> windowIcon(unsigned long) { return std::nullopt; }
  // The icon theme the desktop's settings name; nothing: ask GSettings.
  virtual std::optional<std::string> iconThemeName() { return std::nullopt; }
  // Readies `context` for launching `entry` (environment, startup
  // notification). The result, when set, is called after a failed launch.
  virtual std::function<void()> prepareLaunch(_GAppLaunchContext* context, const DesktopEntry& entry) = 0;
};

// Makes the workspace's source, handing it the callback for changes.
using WindowSourceFactory = std::function<std::shared_ptr<WindowSource>(std::function<void()> changed)>;

// The workspace over any window source. Log category "apps".
std::unique_ptr<AppWorkspace> openAppWorkspace(const WindowSourceFactory& makeSource, kit::Logger log);

}  // namespace tillerpad::platform::linux_apps
