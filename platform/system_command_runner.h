#pragma once

#include <functional>
#include <string>

namespace tillerpad::platform {

// Media keys; the numbers are the host's media key types.
enum class MediaKey : int {
  soundUp = 0,
  soundDown = 1,
  mute = 7,
  play = 16,
  next = 17,
  previous = 18,
};

enum class PowerRequest { lockSession, suspend, displaySleep };

// Media keys and power actions. Power requests are started without waiting;
// a failure is reported later, on any thread, through `onFailure` with a
// description of the error.
class SystemCommandRunner {
 public:
  virtual ~SystemCommandRunner() = default;
  virtual bool postMediaKey(MediaKey key, bool down) = 0;
  virtual void startPower(PowerRequest request, std::function<void(std::string)> onFailure) = 0;
};

}  // namespace tillerpad::platform
