#pragma once

#include <memory>

#include "platform/linux/desktop_backend.h"

namespace tillerpad::platform::gnome {

// The GNOME (Mutter) desktop: null when org.gnome.Mutter.RemoteDesktop does
// not answer on the session bus.
std::unique_ptr<DesktopBackend> openGnomeBackend(const BackendContext& context);

}  // namespace tillerpad::platform::gnome
