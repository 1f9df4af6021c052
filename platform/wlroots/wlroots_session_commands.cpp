#include "platform/wlroots/wlroots_session_commands.h"

#include "platform/wlroots/sway_ipc.h"

namespace tillerpad::platform::wlroots {

std::string_view SwayShortcuts::command(std::string_view hotKeyId) {
  if (hotKeyId == "79") return "workspace prev_on_output";
  if (hotKeyId == "81") return "workspace next_on_output";
  return {};
}

DesktopShortcut SwayShortcuts::shortcut(std::string_view) { return {}; }

bool SwayShortcuts::performDirectly(std::string_view hotKeyId) {
  auto sway = command(hotKeyId);
  if (socket_.empty() || sway.empty()) return false;
  return sway_ipc::run(socket_, sway);
}

}  // namespace tillerpad::platform::wlroots
