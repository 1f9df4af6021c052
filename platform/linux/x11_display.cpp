#include "platform/linux/x11_display.h"

#include <X11/Xlib.h>

#include <mutex>
#include <set>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TILLERPAD_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TILLERPAD_LSAN 1
#endif
#ifdef TILLERPAD_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace tillerpad::platform::linux_x11 {
namespace {

std::mutex lostMutex;
std::set<Display*>& lostDisplays() {
  static std::set<Display*> displays;
  return displays;
}

// The default prints a line and the default exit handler ends the process;
// ours only records the loss, and its owner logs it.
int quietIOError(Display*) { return 0; }

void markLost(Display* display, void*) {
  std::lock_guard lock(lostMutex);
  lostDisplays().insert(display);
}

}  // namespace

void surviveDisplayLoss(Display* display) {
  static std::once_flag installed;
  std::call_once(installed, [] { XSetIOErrorHandler(quietIOError); });
  XSetIOErrorExitHandler(display, markLost, nullptr);
}

Display* openDisplay(const std::string& name) {
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display) surviveDisplayLoss(display);
  return display;
}

bool isDisplayLost(Display* display) {
  std::lock_guard lock(lostMutex);
  return lostDisplays().contains(display);
}

void closeDisplay(Display* display) {
  if (!display) return;
  // XCloseDisplay on a broken connection waits forever for a display lock
  // the failed call still holds. The connection's memory is left as it is
  // (once per X server that went away) and stays marked lost, so that its
  // address is never taken for a live display.
  if (isDisplayLost(display)) {
#ifdef TILLERPAD_LSAN
    __lsan_ignore_object(display);
#endif
    return;
  }
  XCloseDisplay(display);
}

}  // namespace tillerpad::platform::linux_x11
