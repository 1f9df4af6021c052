#pragma once

#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/keyboard_layout_source.h"

namespace tillerpad::platform::linux_x11 {

// The core keyboard's keymap as the X server uses it (xkbcommon-x11), in
// the effective group. Watches XKB new-keyboard, map and group changes on a
// connection of its own once an observer is set.
class XkbKeyboardLayoutSource : public KeyboardLayoutSource {
 public:
  // An empty name means $DISPLAY.
  XkbKeyboardLayoutSource(std::string displayName, kit::Logger log);
  ~XkbKeyboardLayoutSource() override;

  std::unique_ptr<KeyboardLayout> currentLayout() override;
  void setOnChange(std::function<void()> onChange) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
