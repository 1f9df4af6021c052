#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kit/common/log.h"
#include "platform/display_query.h"
#include "platform/gnome/keymap_keysyms.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/input_event_sink.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::gnome {

// Synthetic input through Mutter's remote-desktop session: absolute motion
// relative to the stream of the monitor under the point, buttons by evdev
// code, the wheel in whole clicks from a pixel accumulator (as on X11), keys
// by evdev code, and text by keysym where the layout has a key for the
// character; the rest goes through `paste` (the clipboard and Ctrl+V).
// Also the displays (DisplayConfig, else the streams) and the double-click
// interval. Calls are serialised; Mutter gets them in order.
class GnomeInput : public InputEventSink, public DisplayQuery {
 public:
  static constexpr double wheelStepPixels = 30;

  // Puts UTF-8 text where `pressPaste` (Ctrl+V) takes it from, and the
  // clipboard back afterwards; false when it could not.
  using Paste = std::function<bool(const std::string& utf8, const std::function<void()>& pressPaste)>;

  GnomeInput(std::shared_ptr<MutterRemoteDesktop> desktop, Paste paste, kit::Logger log);

  bool postMouse(const MouseEvent& event) override;
  bool postScroll(const ScrollEvent& event) override;
  bool postKey(const KeyEvent& event) override;
  bool postText(const TextEvent& event) override;
  // A media key by its evdev code: GNOME's own media-key bindings act on it.
  bool postMediaKey(MediaKey key, bool down);
  // Wayland tells no client where the pointer is: this is where we put it.
  std::optional<Point> cursorLocation() override;
  std::vector<DisplayInfo> activeDisplays() override;
  double doubleClickInterval() override;

 private:
  const Keysyms& keysyms();

  std::shared_ptr<MutterRemoteDesktop> desktop_;
  Paste paste_;
  kit::Logger log_;
  std::mutex mutex_;
  double wheelX_ = 0, wheelY_ = 0;
  std::optional<Point> lastPoint_;
  std::uint64_t primedGeneration_ = 0;
  Keysyms keysyms_;
  std::chrono::steady_clock::time_point keysymsRead_{};
};

}  // namespace tillerpad::platform::gnome
