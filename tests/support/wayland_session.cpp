#include "tests/support/wayland_session.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace tillerpad::test {
namespace {

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
