#include "platform/linux/xdg_dirs.h"

#include <cstdlib>

namespace tillerpad::platform::xdg {
namespace {

// XDG base directories ignore relative values.
std::optional<std::filesystem::path> baseDirectory(const char* variable, const char* underHome) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return std::filesystem::path(value);
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return std::filesystem::path(home) / underHome;
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> configHome() { return baseDirectory("XDG_CONFIG_HOME", ".config"); }

std::optional<std::filesystem::path> dataHome() { return baseDirectory("XDG_DATA_HOME", ".local/share"); }

}  // namespace tillerpad::platform::xdg
