#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/desktop_backend.h"

namespace tillerpad::platform {

struct WaylandGlobal {
  std::string interface;
  std::uint32_t version = 0;
  bool operator==(const WaylandGlobal&) const = default;
};

// The globals a Wayland compositor announces; nothing when it could not be
// reached or did not finish one round trip within `limit`.
// `display`: a socket name in $XDG_RUNTIME_DIR or an absolute path; empty:
// $WAYLAND_DISPLAY (else "wayland-0").
std::optional<std::vector<WaylandGlobal>> probeWaylandGlobals(const std::string& display,
                                                              std::chrono::milliseconds limit);

// Whether a name has an owner on the session bus ($DBUS_SESSION_BUS_ADDRESS,
// else $XDG_RUNTIME_DIR/bus); false without a bus or an answer within
// `limit`. Never starts a bus nor activates a service.
bool sessionBusNameHasOwner(const std::string& name, std::chrono::milliseconds limit);

// What chooseBackend needs, from the environment and the probes, each probe
// bounded by `limit` and run only where its answer can change the choice.
SessionFacts probeSession(std::chrono::milliseconds limit = std::chrono::seconds(1));

}  // namespace tillerpad::platform
