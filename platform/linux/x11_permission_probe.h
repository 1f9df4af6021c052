#pragma once

#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/permission_probe.h"

namespace tillerpad::platform::linux_x11 {

// On X11 nothing is granted or refused per application: input can be
// synthesised while the display answers and offers XTest, and the screen can
// be captured while the root window can be read. A lost display is opened
// again on a later read, so the flags follow an X server that restarts.
class X11PermissionProbe : public PermissionProbe {
 public:
  // An empty name means $DISPLAY.
  X11PermissionProbe(std::string displayName, kit::Logger log);
  ~X11PermissionProbe() override;

  bool canSynthesizeInput() override;
  bool canCaptureScreen() override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::linux_x11
