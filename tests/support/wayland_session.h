#pragma once

// A headless sway of the test's own, reached through absolute socket paths.
// Sway refuses to run as root: under root it runs as the system user
// "tillerpad-wl" (made when missing) in a runtime folder owned by that user.
#include <map>
#include <memory>
#include <string>

#include "tests/support/child_process.h"

namespace tillerpad::test {

class PrivateSway {
 public:
  // `config`: sway configuration lines beside the defaults (no Xwayland,
  // one 1280x720 output).
  explicit PrivateSway(const std::string& config = "");
  ~PrivateSway();
  PrivateSway(const PrivateSway&) = delete;
  PrivateSway& operator=(const PrivateSway&) = delete;

  bool running() const { return !socketPath_.empty(); }
  // Why it is not running, for GTEST_SKIP.
  const std::string& skipReason() const { return problem_; }
  // An absolute path; WAYLAND_DISPLAY may hold it as it is.
  const std::string& socketPath() const { return socketPath_; }
  const std::string& swaysockPath() const { return swaysockPath_; }
  // WAYLAND_DISPLAY and SWAYSOCK for a client of this sway.
  std::map<std::string, std::string> clientEnvironment() const;

 private:
  std::string runtimeDir_;
  std::unique_ptr<ChildProcess> sway_;
  std::string socketPath_, swaysockPath_, problem_;
};

}  // namespace tillerpad::test
