#pragma once

// Wayland compositors of a test's own, each in a private runtime folder.
#include <map>
#include <memory>
#include <string>

#include "tests/support/child_process.h"

namespace tillerpad::test {

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
