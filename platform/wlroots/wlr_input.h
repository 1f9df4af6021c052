#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "kit/common/log.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"
#include "platform/keyboard_layout_source.h"
#include "platform/system_command_runner.h"
#include "platform/wlroots/wayland_connection.h"

namespace tillerpad::platform::wlroots {

// Synthetic input on a wlroots compositor through one virtual pointer and one
// virtual keyboard that live as long as this object (the compositor drops
// events sent right after a device appears or its keymap changes, so they are
// made once, and every keymap upload is followed by a round trip and a
// settle). The pointer moves absolutely within the layout's bounding box;
// buttons are evdev BTN_*; the wheel turns one click per wheelStepPixels of
// the host's scroll, as on X11. The keyboard's keymap is the compositor's
// (read from the seat's wl_keyboard while no keyboard of ours is active) or
// else the one XKB_DEFAULT_* names (xkbcommon's default: us), plus spare key
// codes bound to the characters the layout lacks (least recently used first
// when all are taken). Also the display list (wl_output + xdg-output), the
// double-click interval and the keyboard layout the keymap comes from.
// Calls come from one thread at a time; protocol requests go out on the
// connection's thread.
class WlrInput : public InputEventSink, public DisplayQuery, public KeyboardLayoutSource {
 public:
  static constexpr double wheelStepPixels = 30;
  // After a device appears or a keymap is uploaded, a round trip and then
  // this long before the next event (see docs/wayland.md for the figures).
  static constexpr std::chrono::milliseconds settle{10};

  // Null when the compositor offers no virtual pointer or keyboard, or
  // refuses to make them.
  static std::unique_ptr<WlrInput> open(std::shared_ptr<WaylandConnection> connection, kit::Logger log);
  ~WlrInput() override;

  bool postMouse(const MouseEvent& event) override;
  bool postScroll(const ScrollEvent& event) override;
  bool postKey(const KeyEvent& event) override;
  bool postText(const TextEvent& event) override;
  // Where our own last absolute move put the pointer (the compositor tells
  // no client where the cursor is); nothing before the first move.
  std::optional<Point> cursorLocation() override;

  std::vector<DisplayInfo> activeDisplays() override;
  // GNOME's setting when there is one, else 0.4 s.
  double doubleClickInterval() override;

  std::unique_ptr<KeyboardLayout> currentLayout() override;
  void setOnChange(std::function<void()> onChange) override;

  bool postMediaKey(MediaKey key, bool down);

  // How many key codes can carry characters the layout lacks.
  std::size_t spareKeyCount() const;

  struct Impl;

 private:
  explicit WlrInput(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::wlroots
