#pragma once

// A headless sway of the test's own: one 1280x800 output at (0,0), no bar,
// no borders or gaps, the cursor never hidden. Sway refuses to run as root,
// so under root it runs as the system user `tillerpad-wl` (created when
// missing) in a runtime folder owned by that user; the test process, root,
// connects through the absolute socket path.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tillerpad::test {

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

}  // namespace tillerpad::test
