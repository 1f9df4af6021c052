#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/common/log.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::linux_x11 {

class X11Input;

// Media keys as XF86 key symbols through XTest; lock and suspend through
// logind on the system bus; display sleep through DPMS. Power requests run
// on one thread as asynchronous D-Bus calls, each limited to ten seconds;
// beyond eight at once a request is refused through its onFailure.
class LinuxSystemCommands : public SystemCommandRunner {
 public:
  // What the desktop session does itself; logind is the same everywhere.
  struct SessionHooks {
    std::function<bool(MediaKey, bool down)> mediaKey;
    // Nothing when the displays went off, else why not.
    std::function<std::optional<std::string>()> displaysOff;
  };
  explicit LinuxSystemCommands(X11Input& input);
  explicit LinuxSystemCommands(SessionHooks hooks);
  ~LinuxSystemCommands() override;  // waits for requests still running

  bool postMediaKey(MediaKey key, bool down) override;
  void startPower(PowerRequest request, std::function<void(std::string)> onFailure) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
