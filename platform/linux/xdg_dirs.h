#pragma once

#include <filesystem>
#include <optional>

namespace tillerpad::platform::xdg {

// $XDG_CONFIG_HOME, or $HOME/.config; nothing when neither is an absolute path.
std::optional<std::filesystem::path> configHome();
// $XDG_DATA_HOME, or $HOME/.local/share; nothing when neither is an absolute path.
std::optional<std::filesystem::path> dataHome();

}  // namespace tillerpad::platform::xdg
