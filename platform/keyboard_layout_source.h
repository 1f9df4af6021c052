#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tillerpad::platform {

// One keyboard layout as the desktop uses it now.
class KeyboardLayout {
 public:
  virtual ~KeyboardLayout() = default;
  // What the key at the host's virtual key code types, unshifted or with
  // shift held, ignoring dead-key composition; empty when nothing.
  virtual std::u16string translate(std::uint16_t keyCode, bool shifted) const = 0;
};

class KeyboardLayoutSource {
 public:
  virtual ~KeyboardLayoutSource() = default;
  // The selected layout; null when the platform gives none.
  virtual std::unique_ptr<KeyboardLayout> currentLayout() = 0;
  // Called, on a thread of the source's choosing, after the selected layout
  // or group changed. Set once, before the source starts watching; setting
  // it again (or empty) waits for a call in flight, so the old callback
  // never runs after this returns. The callback must not call it.
  virtual void setOnChange(std::function<void()> onChange) = 0;
};

}  // namespace tillerpad::platform
