#pragma once

#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/app_workspace.h"

namespace tillerpad::platform::wlroots {

class WaylandConnection;

// The desktop's applications on a wlroots compositor: installed ones as on
// X11 (desktop entries, icons, GDesktopAppInfo launches), running ones from
// the compositor's toplevel list (zwlr_foreign_toplevel_manager_v1), each
// toplevel's app_id matched to a desktop entry as X11's WM_CLASS is. `open`
// of a running application asks the compositor to activate its newest
// toplevel; a launch carries an xdg-activation token when the compositor
// offers xdg_activation_v1, and WAYLAND_DISPLAY=`socket` when it is set.
// Process ids come from sway's IPC ($SWAYSOCK, `get_tree`) where that is
// there; elsewhere they are unknown. Without the toplevel list it still
// describes installed applications; then nothing runs.
//
// The manager and the activation
// global are bound on a registry of the workspace's own, so that no event
// arrives before its listener is set.
std::unique_ptr<AppWorkspace> openWlrootsAppWorkspace(std::shared_ptr<WaylandConnection> connection,
                                                      const std::string& socket, kit::Logger log);

}  // namespace tillerpad::platform::wlroots
