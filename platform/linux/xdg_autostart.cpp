#include "platform/linux/xdg_autostart.h"

#include "platform/linux/xdg_dirs.h"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace tillerpad::platform {
namespace {

// Quotes an Exec argument as the Desktop Entry format wants it.
std::string quoteExec(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

XdgAutostart::XdgAutostart(std::filesystem::path entry, std::string executable)
    : entry_(std::move(entry)), executable_(std::move(executable)) {}

std::filesystem::path XdgAutostart::defaultEntry(const std::string& appID) {
  return xdg::configHome().value_or("/") / "autostart" / (appID + ".desktop");
}

LoginItemService::Status XdgAutostart::status() const {
  std::ifstream in(entry_);
  if (!in) return Status::notRegistered;
  std::string line;
  while (std::getline(in, line)) {
    if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return Status::notRegistered;
  }
  return Status::enabled;
}

void XdgAutostart::registerApp() {
  std::error_code ec;
  std::filesystem::create_directories(entry_.parent_path(), ec);
  if (ec) throw std::runtime_error(fmt::format("Cannot create {}: {}", entry_.parent_path().string(), ec.message()));
  std::string temporary = entry_.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tillerpad\n"
           "Comment=Use a paired phone as this computer's pointer, keyboard and screen viewer\n"
        << "Exec=" << quoteExec(executable_) << " " << quietOption << "\n"
        << "Icon=tillerpad\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
    if (!out.flush()) throw std::runtime_error(fmt::format("Cannot write {}", temporary));
  }
  std::filesystem::rename(temporary, entry_, ec);
  if (ec) throw std::runtime_error(fmt::format("Cannot write {}: {}", entry_.string(), ec.message()));
}

void XdgAutostart::unregisterApp() {
  std::error_code ec;
  std::filesystem::remove(entry_, ec);
  if (ec) throw std::runtime_error(fmt::format("Cannot remove {}: {}", entry_.string(), ec.message()));
}

}  // namespace tillerpad::platform
