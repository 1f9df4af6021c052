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


// Starts the services beside a bus that dbus-run-session made, waits
// (bounded) until Mutter's remote desktop answers and its Wayland socket is
// there, prints "ready" and the bus address, and stops everything when its
// standard input ends. setpriv's death signal takes each service along if
// the shell dies first; "kill-mutter" on its input kills Mutter alone.
constexpr const char* kSessionScript = R"sh(
set -u
pids=""
# The bus itself goes at the end too: dbus-run-session, killed with its
# test, would leave it behind.
bus=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.DBus | tr -cd '0-9 ' | awk '{print $NF}')
start() { setpriv --pdeathsig KILL "$@" >>"$XDG_RUNTIME_DIR/log" 2>&1 & pids="$pids $!"; }
start pipewire
# WirePlumber, which links a screen cast to its reader, gives up at once
# when PipeWire's socket is not there yet.
for i in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.05; done
start wireplumber
start mutter --headless --wayland --no-x11 --virtual-monitor "$TILLERPAD_MONITOR"
mutter=$!
for i in $(seq 200); do
  if [ -S "$XDG_RUNTIME_DIR/wayland-0" ] && [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] &&
     gdbus introspect --session --dest org.gnome.Mutter.RemoteDesktop \
       --object-path /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1; then
    echo "ready $DBUS_SESSION_BUS_ADDRESS"
    break
  fi
  sleep 0.05
done
while read -r command; do
  [ "$command" = kill-mutter ] && kill -KILL $mutter
done
kill -KILL $pids 2>/dev/null
wait
[ -n "$bus" ] && kill -KILL "$bus"
)sh";

bool onPath(const char* program) {
  return runShell(std::string("command -v ") + program + " >/dev/null && echo yes").starts_with("yes");
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


PrivateMutter::PrivateMutter(const std::string& monitor) {
  for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-run-session", "gdbus", "setpriv"}) {
    if (!onPath(program)) {
      whyNot_ = std::string(program) + " is not installed";
      return;
    }
  }
  char folder[] = "/tmp/tillerpad-mutter-XXXXXX";
  if (!::mkdtemp(folder)) {
    whyNot_ = "cannot make a runtime folder";
    return;
  }
  runtimeDir_ = folder;
  std::filesystem::create_directories(runtimeDir_ + "/config");
  session_ = std::make_unique<ChildProcess>(
      "dbus-run-session", std::vector<std::string>{"--", "sh", "-c", kSessionScript},
      std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtimeDir_},
                                         {"XDG_CONFIG_HOME", runtimeDir_ + "/config"},
                                         {"TILLERPAD_MONITOR", monitor},
                                         {"GSETTINGS_BACKEND", "memory"},
                                         {"NO_AT_BRIDGE", "1"},
                                         {"WAYLAND_DISPLAY", ""},
                                         {"DISPLAY", ""}});
  auto line = session_->lineStarting("ready ");
  if (!line) {
    whyNot_ = "mutter did not start: " + runShell("tail -n 5 " + runtimeDir_ + "/log");
    session_.reset();
    return;
  }
  busAddress_ = line->substr(6);
}

PrivateMutter::~PrivateMutter() {
  if (session_) {
    session_->endInput();
    if (session_->wait(std::chrono::seconds(5)) == -1) session_->stop(SIGKILL);
  }
  if (!runtimeDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
  }
}

void PrivateMutter::killCompositor() {
  if (session_) session_->send("kill-mutter");
}

std::map<std::string, std::string> PrivateMutter::environment() const {
  return {{"DBUS_SESSION_BUS_ADDRESS", busAddress_},
          {"XDG_RUNTIME_DIR", runtimeDir_},
          {"WAYLAND_DISPLAY", "wayland-0"},
          {"GDK_BACKEND", "wayland"},
          {"GSETTINGS_BACKEND", "memory"},
          // No accessibility bus: it would outlive the session.
          {"NO_AT_BRIDGE", "1"},
          {"DISPLAY", ""}};
}

}  // namespace tillerpad::test
