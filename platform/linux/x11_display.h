#pragma once

#include <string>

// Xlib's macros clash with the host's names: only the opaque type here.
typedef struct _XDisplay Display;

namespace tillerpad::platform::linux_x11 {

// Xlib ends the process when a display connection breaks (the X server quit
// or was restarted). Displays opened here survive that: the connection is
// marked lost, every later Xlib call on it returns at once, and the owner
// notices through isDisplayLost() and closes it.
Display* openDisplay(const std::string& name);  // empty: $DISPLAY; null on failure
// For displays opened by other means (XkbOpenDisplay).
void surviveDisplayLoss(Display* display);
bool isDisplayLost(Display* display);
// Closes the display; a lost one is only let go (see the definition).
void closeDisplay(Display* display);

struct DisplayCloser {
  void operator()(Display* display) const { closeDisplay(display); }
};

}  // namespace tillerpad::platform::linux_x11
