#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/common/log.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::linux_x11 {

// The media keys play, next and previous as MPRIS calls on the session bus
// (org.mpris.MediaPlayer2.Player: PlayPause, Next, Previous), for sessions
// where no key event reaches the players. The player is the first one that
// is playing, else the first one, bus names in sorted order. Calls run on a
// thread of their own, each limited; the volume keys are not MPRIS's.
class MprisRemote {
 public:
  explicit MprisRemote(kit::Logger log);
  ~MprisRemote();  // waits for a call in flight (bounded)
  MprisRemote(const MprisRemote&) = delete;
  MprisRemote& operator=(const MprisRemote&) = delete;

  // Queues the key's call; false for a key MPRIS has no call for, or when
  // calls are already waiting (a flood is dropped, not queued).
  bool press(MediaKey key);

  // The player to send to among (bus name, PlaybackStatus) pairs.
  static std::optional<std::string> choose(std::vector<std::pair<std::string, std::string>> players);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
