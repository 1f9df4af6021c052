#pragma once

// sway's IPC socket ($SWAYSOCK): "i3-ipc", a 32-bit length and type in host
// order, then JSON. Each request opens a connection of its own, so callers
// on any thread share nothing; every read and write has a deadline.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tillerpad::platform::wlroots {

namespace sway_ipc {

enum class Message : std::uint32_t { runCommand = 0, getWorkspaces = 1, getTree = 4 };

// $SWAYSOCK, or empty when the session is no sway's.
std::string socketFromEnvironment();

// The reply's payload; nothing when the socket cannot be reached, closes,
// answers with another type, or does not answer within `limit`.
std::optional<std::string> request(const std::string& socket, Message type, std::string_view payload,
                                   std::chrono::milliseconds limit = std::chrono::seconds(2));

// Runs sway commands; true when each of them reported success.
bool run(const std::string& socket, std::string_view commands,
         std::chrono::milliseconds limit = std::chrono::seconds(2));

// The process id of the one view in a get_tree reply whose app_id (or X11
// class) and title are these; nothing when none or several are.
std::optional<long> viewPid(std::string_view treeJson, const std::string& appId, const std::string& title);

}  // namespace sway_ipc

}  // namespace tillerpad::platform::wlroots
