#pragma once

#include <memory>
#include <optional>
#include <string>

#include "kit/common/log.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::linux_x11 {

// Synthetic input on an X display through XTest: absolute motion, buttons
// 1-3, wheel buttons 4-7 from a pixel accumulator, keys by position, and
// characters no key produces through spare key codes bound to them (see
// docs/input.md).
// Also the display list (XRandR monitors) and the double-click interval.
// Thread-safe: calls are serialised on one connection.
class X11Input : public InputEventSink, public DisplayQuery {
 public:
  static constexpr double wheelStepPixels = 30;

  // Null when the display cannot be opened or has no XTest. An empty name
  // means $DISPLAY.
  static std::unique_ptr<X11Input> open(const std::string& displayName, kit::Logger log);
  ~X11Input() override;

  bool postMouse(const MouseEvent& event) override;
  bool postScroll(const ScrollEvent& event) override;
  bool postKey(const KeyEvent& event) override;
  bool postText(const TextEvent& event) override;
  std::optional<Point> cursorLocation() override;
  std::vector<DisplayInfo> activeDisplays() override;
  double doubleClickInterval() override;

  bool postMediaKey(MediaKey key, bool down);
  // Turns the displays off (DPMS); the error's description when it cannot.
  std::optional<std::string> forceDisplaysOff();

  struct Impl;

 private:
  explicit X11Input(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
