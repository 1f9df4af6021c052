#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/common/log.h"

// Xlib's macros clash with the host's names: only the opaque type here.
typedef struct _XDisplay Display;

namespace tillerpad::platform::linux_x11 {

// Makes Xlib fit for this process, once: thread support (several threads
// use connections of their own), and handlers that keep the process alive.
// Xlib's default handlers end the process on any protocol error and on a
// broken connection; ours log a protocol error (at most a line a second)
// and go on, and mark a broken connection lost. Call it before any other
// Xlib call; openDisplay() calls it too.
void prepareXlib();
// A toolkit that opens an Xlib connection of its own (Qt's xcb platform
// does) replaces the process-wide handlers; this puts ours back.
void restoreXlibHandlers();
// Where protocol errors that no XErrorTrap expects are logged; until it is
// set they are dropped.
void setXErrorLog(kit::Logger log);

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

// Collects the protocol errors of the requests made on `display` while it
// lives, instead of logging them: for requests that may fail in the normal
// course (a window that went away meanwhile). The process-wide handler
// consults it, so no handler is swapped while other threads use Xlib. The
// caller keeps other threads off `display` meanwhile, as for any request.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // The code of the first error (BadWindow ...), 0 when none. Waits for the
  // server to have answered every request made so far.
  int check();
  // Called by the handler.
  void record(int code);
  Display* display() const { return display_; }
  unsigned long firstSerial() const { return firstSerial_; }

 private:
  Display* display_;
  unsigned long firstSerial_;
  int error_ = 0;
};

// The settings manager's XSETTINGS blob (the _XSETTINGS_SETTINGS property of
// the owner of _XSETTINGS_S<screen>), to be read with xsettings.h; empty
// without a manager, also one that went away meanwhile (no error logged).
std::vector<std::uint8_t> readXSettings(Display* display);

}  // namespace tillerpad::platform::linux_x11
