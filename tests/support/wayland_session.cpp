#include "tests/support/wayland_session.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tillerpad::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool answers(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string findSocket(const std::string& dir, const std::string& prefix, const std::string& suffix) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(suffix) && entry.is_socket()) return entry.path().string();
  }
  return {};
}

std::string tail(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

}  // namespace

PrivateSway::PrivateSway(const std::string& extraConfig) {
  bool root = geteuid() == 0;
  if (root && !getpwnam(user)) {
    runShell(std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + user);
  }
  passwd* account = root ? getpwnam(user) : nullptr;
  if (root && !account) {
    reason_ = std::string("cannot create the user ") + user + " that sway runs as";
    return;
  }
  char pattern[] = "/tmp/tillerpad-sway.XXXXXX";
  if (!mkdtemp(pattern)) {
    reason_ = "cannot make a runtime folder";
    return;
  }
  dir_ = pattern;
  std::ofstream(dir_ + "/config") << "output HEADLESS-1 mode 1280x800 position 0 0\n"
                                     "default_border none\n"
                                     "default_floating_border none\n"
                                     "gaps inner 0\n"
                                     "gaps outer 0\n"
                                     "seat * hide_cursor 0\n"
                                     "xwayland disable\n"
                                  << extraConfig << "\n";
  if (account && chown(dir_.c_str(), account->pw_uid, account->pw_gid) != 0) {
    reason_ = "cannot hand the runtime folder to " + std::string(user);
    return;
  }
  chmod(dir_.c_str(), 0700);

  std::string command = "exec ";
  if (account) command += std::string("setpriv --reuid=") + user + " --regid=" + user + " --clear-groups ";
  command += "sway -c '" + dir_ + "/config' >'" + dir_ + "/sway.log' 2>&1";
  // A clean environment: no WAYLAND_DISPLAY or DISPLAY of the caller's session.
  std::vector<std::string> arguments{"-i", "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME=" + dir_,
                                     "XDG_RUNTIME_DIR=" + dir_, "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                     "WLR_RENDERER=pixman", "sh", "-c", command};
  server_ = std::make_unique<ChildProcess>("env", arguments);
  server_->endInput();

  // Up in about 0.1 s; the limit leaves room for a busy machine.
  for (auto end = Clock::now() + std::chrono::seconds(15); Clock::now() < end;) {
    if (socket_.empty()) socket_ = findSocket(dir_, "wayland-", "");
    if (swaysock_.empty()) swaysock_ = findSocket(dir_, "sway-ipc.", ".sock");
    if (!socket_.empty() && !swaysock_.empty() && answers(socket_) && answers(swaysock_) &&
        swaymsg("-t get_outputs").find("HEADLESS-1") != std::string::npos) {
      return;
    }
    if (kill(server_->pid(), 0) != 0) break;
    poll(nullptr, 0, 20);
  }
  reason_ = "sway did not start: " + tail(dir_ + "/sway.log");
  stop();
}

PrivateSway::~PrivateSway() {
  stop();
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

std::map<std::string, std::string> PrivateSway::clientEnvironment() const {
  return {{"WAYLAND_DISPLAY", socket_}, {"XDG_RUNTIME_DIR", dir_}, {"SWAYSOCK", swaysock_}, {"DISPLAY", ""}};
}

std::string PrivateSway::swaymsg(const std::string& arguments, std::chrono::milliseconds limit) const {
  return runShell("swaymsg -s '" + swaysock_ + "' " + arguments, limit);
}

void PrivateSway::stop() {
  if (!server_ || server_->pid() <= 0) return;
  kill(server_->pid(), SIGTERM);
  if (server_->wait(std::chrono::seconds(5)) == -1) server_->stop(SIGKILL);
  if (reason_.empty()) reason_ = "sway was stopped";
}

}  // namespace tillerpad::test
