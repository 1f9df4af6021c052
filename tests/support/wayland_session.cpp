#include "tests/support/wayland_session.h"

#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tillerpad::test {

namespace {

constexpr const char* swayUser = "tillerpad-wl";

std::string findIn(const std::string& dir, auto matches) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    auto name = entry.path().filename().string();
    if (matches(name) && entry.is_socket(ec)) return entry.path().string();
  }
  return {};
}

}  // namespace

PrivateSway::PrivateSway(const std::string& config) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tillerpad-sway-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    problem_ = "cannot make a runtime folder";
    return;
  }
  runtimeDir_ = pattern;
  {
    std::ofstream file(runtimeDir_ + "/config");
    file << "xwayland disable\noutput HEADLESS-1 resolution 1280x720 position 0 0\n" << config << "\n";
  }
  std::string program = "sway";
  std::vector<std::string> arguments{"-c", runtimeDir_ + "/config"};
  if (::geteuid() == 0) {
    runShell(std::string("id -u ") + swayUser + " >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin " + swayUser);
    const passwd* user = ::getpwnam(swayUser);
    if (!user) {
      problem_ = std::string("sway refuses root and the user ") + swayUser + " could not be made";
      return;
    }
    for (const auto& path : {runtimeDir_, runtimeDir_ + "/config"}) {
      if (::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) {
        problem_ = "cannot hand the runtime folder to " + std::string(swayUser);
        return;
      }
    }
    // The parent-death signal is cleared by the change of user: set again after it.
    arguments.insert(arguments.begin(), {"--reuid", std::to_string(user->pw_uid), "--regid", std::to_string(user->pw_gid),
                                         "--clear-groups", "--pdeathsig", "KILL", "--", program});
    program = "setpriv";
  }
  std::filesystem::permissions(runtimeDir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
  sway_ = std::make_unique<ChildProcess>(program, arguments,
                                         std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtimeDir_},
                                                                            {"HOME", runtimeDir_},
                                                                            {"WLR_BACKENDS", "headless"},
                                                                            {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                                                            {"WLR_RENDERER", "pixman"},
                                                                            {"WAYLAND_DISPLAY", ""},
                                                                            {"DISPLAY", ""}});
  sway_->endInput();
  // Up in about 0.1 s on an idle machine; both sockets mean it accepts clients.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  std::string wayland, ipc;
  while (std::chrono::steady_clock::now() < deadline) {
    wayland = findIn(runtimeDir_, [](const std::string& n) { return n.starts_with("wayland-") && !n.ends_with(".lock"); });
    ipc = findIn(runtimeDir_, [](const std::string& n) { return n.starts_with("sway-ipc.") && n.ends_with(".sock"); });
    if (!wayland.empty() && !ipc.empty()) {
      socketPath_ = wayland;
      swaysockPath_ = ipc;
      return;
    }
    ::poll(nullptr, 0, 20);
  }
  sway_->stop(SIGKILL);
  sway_->wait(std::chrono::seconds(1));
  problem_ = "headless sway did not come up within 15 s: " + sway_->errorText.substr(0, 400);
}

PrivateSway::~PrivateSway() {
  sway_.reset();  // killed and collected
  if (!runtimeDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
  }
}

std::map<std::string, std::string> PrivateSway::clientEnvironment() const {
  return {{"WAYLAND_DISPLAY", socketPath_}, {"SWAYSOCK", swaysockPath_}};
}

}  // namespace tillerpad::test
