#include "platform/linux/x11_permission_probe.h"

#include "platform/linux/x11_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace tillerpad::platform::linux_x11 {

struct X11PermissionProbe::Impl {
  std::string displayName;
  kit::Logger log;
  std::unique_ptr<Display, DisplayCloser> display;
  bool hasXTest = false;
  bool wasReachable = true;  // log a change of reachability once

  // The display when it answers a round trip now.
  Display* reachable() {
    if (display) {
      XSync(display.get(), False);
      if (isDisplayLost(display.get())) {
        log.error("Lost the X display");
        display.reset();
      }
    }
    if (!display) {
      display.reset(openDisplay(displayName));
      if (display) {
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        hasXTest = XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor);
      }
    }
    bool isReachable = display != nullptr;
    if (isReachable != wasReachable) {
      if (isReachable) {
        log.info("The X display is reachable");
      } else {
        log.error("The X display is not reachable");
      }
      wasReachable = isReachable;
    }
    return display.get();
  }
};

X11PermissionProbe::X11PermissionProbe(std::string displayName, kit::Logger log) : impl_(std::make_unique<Impl>()) {
  impl_->displayName = std::move(displayName);
  impl_->log = std::move(log);
}

X11PermissionProbe::~X11PermissionProbe() = default;

bool X11PermissionProbe::canSynthesizeInput() {
  return impl_->reachable() && impl_->hasXTest;
}

bool X11PermissionProbe::canCaptureScreen() {
  // Right after canSynthesizeInput() the connection is known good.
  Display* d = impl_->display.get();
  if (!d || isDisplayLost(d)) d = impl_->reachable();
  if (!d) return false;
  // A one-pixel read of the root window: what a capture does, at no cost.
  XErrorTrap trap(d);
  XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;  // the trap keeps the refusal out of the log
  XDestroyImage(image);
  return true;
}

}  // namespace tillerpad::platform::linux_x11
