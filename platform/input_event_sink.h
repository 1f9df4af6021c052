#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/geometry.h"

namespace tillerpad::platform {

// Pointer event kinds; the numbers are the host's own event type codes.
enum class MouseEventType : int {
  leftDown = 1,
  leftUp = 2,
  rightDown = 3,
  rightUp = 4,
  moved = 5,
  leftDragged = 6,
  rightDragged = 7,
  otherDown = 25,
  otherUp = 26,
  otherDragged = 27,
};

// A pointer event at an absolute position. Buttons are 0 left, 1 right,
// 2 middle; clickState is the multi-click count of a press or release.
struct MouseEvent {
  MouseEventType type = MouseEventType::moved;
  int button = 0;
  Point location;
  std::int64_t clickState = 0;
  std::int64_t deltaX = 0;
  std::int64_t deltaY = 0;
  friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// A continuous scroll in pixels. Positive vertical scrolls up (content
// moves down), positive horizontal scrolls left.
struct ScrollEvent {
  std::int32_t vertical = 0;
  std::int32_t horizontal = 0;
  friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

// A key going down or up, by the host's virtual key code (key positions of
// an ANSI keyboard), with the event flags the host computed.
struct KeyEvent {
  std::uint16_t keyCode = 0;
  bool down = true;
  std::uint64_t flags = 0;
  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// A key event that carries its own characters (at most 20 UTF-16 units),
// used for text that must not depend on the keyboard layout.
struct TextEvent {
  bool down = true;
  std::u16string text;
  friend bool operator==(const TextEvent&, const TextEvent&) = default;
};

// Where synthetic input goes. Each post returns false when the event could
// not be made; the caller then skips it. Called from one thread at a time.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;
  virtual bool postMouse(const MouseEvent& event) = 0;
  virtual bool postScroll(const ScrollEvent& event) = 0;
  virtual bool postKey(const KeyEvent& event) = 0;
  virtual bool postText(const TextEvent& event) = 0;
  // Where the real cursor is now; absent when it cannot be read.
  virtual std::optional<Point> cursorLocation() = 0;
};

}  // namespace tillerpad::platform
