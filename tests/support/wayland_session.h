#pragma once

// Wayland compositors of a test's own, each in a private runtime folder.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tillerpad::test {

// A headless sway of the test's own: one 1280x800 output at (0,0), no bar,
// no borders or gaps, the cursor never hidden. Sway refuses to run as root,
// so under root it runs as the system user `tillerpad-wl` (created when
// missing) in a runtime folder owned by that user; the test process, root,
// connects through the absolute socket path.
class PrivateSway {
 public:
  static constexpr const char* user = "tillerpad-wl";

  // `extraConfig` lines are appended to the configuration.
  explicit PrivateSway(const std::string& extraConfig = "");
  ~PrivateSway();
  PrivateSway(const PrivateSway&) = delete;
  PrivateSway& operator=(const PrivateSway&) = delete;

  bool running() const { return reason_.empty(); }
  // Why sway is not running (for GTEST_SKIP); empty while it is.
  const std::string& skipReason() const { return reason_; }

  const std::string& runtimeDir() const { return dir_; }
  // The absolute path of the Wayland socket: a valid WAYLAND_DISPLAY.
  const std::string& socketPath() const { return socket_; }
  // The IPC socket, for `swaymsg -s`.
  const std::string& swaysockPath() const { return swaysock_; }
  // What a client of this session needs in its environment.
  std::map<std::string, std::string> clientEnvironment() const;
  // `swaymsg -s <sock> <arguments>`'s output (arguments are shell words).
  std::string swaymsg(const std::string& arguments, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // SIGTERM, up to 5 s, then SIGKILL. Also done by the destructor.
  void stop();

 private:
  std::string dir_, socket_, swaysock_, reason_;
  std::unique_ptr<ChildProcess> server_;
};

// A headless Mutter (`--headless --wayland --no-x11` with one virtual
// monitor) inside a D-Bus session bus of its own, with PipeWire and
// WirePlumber on that bus; as root, in a private XDG_RUNTIME_DIR. Every
// process it starts dies with the test.
class PrivateMutter {
 public:
  explicit PrivateMutter(const std::string& monitor = "1920x1080");
  ~PrivateMutter();
  PrivateMutter(const PrivateMutter&) = delete;
  PrivateMutter& operator=(const PrivateMutter&) = delete;

  bool running() const { return !busAddress_.empty(); }
  // Why it is not running (for a skip message).
  const std::string& whyNot() const { return whyNot_; }
  const std::string& busAddress() const { return busAddress_; }
  const std::string& runtimeDir() const { return runtimeDir_; }
  // Kills Mutter alone (its bus and PipeWire stay), as a crash would.
  void killCompositor();
  // What a client of this session needs in its environment.
  std::map<std::string, std::string> environment() const;

 private:
  std::string runtimeDir_;
  std::string busAddress_;
  std::string whyNot_;
  std::unique_ptr<ChildProcess> session_;
};

}  // namespace tillerpad::test
