// A plain Xlib client that reads typed text the way most X applications do:
// on MappingNotify it calls XRefreshKeyboardMapping, on KeyPress
// XLookupString, so each key is looked up in the server's key map as it is
// when the client gets to the event (not when the key was pressed).
//
//   xlib_text_client [BUSY_MS]
//
// Takes the keyboard focus with a full-screen window, prints "ready", then
// one line per typed character: its code point in hex. BUSY_MS models an
// application busy painting: after each batch of events it reads nothing for
// that long. Ends when its standard input closes.
#include <poll.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  int busyMs = argc > 1 ? std::atoi(argv[1]) : 0;
  Display* d = XOpenDisplay(nullptr);
  if (!d) return 1;  // the test then waits in vain for "ready" and says so
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = KeyPressMask;
  Window window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(DisplayWidth(d, 0)),
                                static_cast<unsigned>(DisplayHeight(d, 0)), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(d, window);
  XSync(d, False);
  XSetInputFocus(d, window, RevertToParent, CurrentTime);
  XSync(d, False);
  std::printf("ready\n");
  std::fflush(stdout);

  pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    if (XPending(d) == 0) {
      // The limit only bounds the wait; the loop ends with standard input.
      if (poll(fds, 2, 10'000) < 0) return 1;
      char c;
      if (fds[1].revents != 0 && read(STDIN_FILENO, &c, 1) <= 0) return 0;
      continue;
    }
    while (XPending(d) > 0) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
      } else if (event.type == KeyPress) {
        char buffer[32];
        KeySym sym = NoSymbol;
        XLookupString(&event.xkey, buffer, sizeof buffer, &sym, nullptr);
        std::printf("%x\n", static_cast<unsigned>(xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(sym))));
      }
    }
    std::fflush(stdout);
    if (busyMs > 0) usleep(static_cast<useconds_t>(busyMs) * 1000);
  }
}
