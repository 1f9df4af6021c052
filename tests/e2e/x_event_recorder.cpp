// Shows the end-to-end tests what reaches the X display.
//
//   x_event_recorder            maps a window over the whole screen, takes the
//                               input focus, prints "ready", then one line per
//                               event until killed:
//                                 key <keysym name> <text or ->
//                                 press <button> / release <button>
//   x_event_recorder --pointer  prints the pointer position "<x> <y>" and exits
//   x_event_recorder --warp X Y moves the pointer to (X, Y) and exits
//
// Text is UTF-8 with blanks, controls and backslashes written as \uXXXX, so
// every line splits on blanks. Lines are flushed one by one.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string escapedText(KeySym sym) {
  char utf8[16] = {};
  int length = xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(sym), utf8, sizeof utf8);
  if (length <= 1) return "-";  // no character (the count includes the terminator)
  std::string out;
  for (int i = 0; i < length - 1; ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c <= 0x20 || c == 0x7F || c == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The key's symbol as the server maps it now, asked afresh for every key:
// the injector binds spare key codes for characters the layout lacks, and
// Xlib's cached (XKB) map may not have caught up with that when the key
// event is handled. Core rules for the level: shift picks the second symbol,
// and a lone letter stands for both its cases.
KeySym keysymFor(Display* display, const XKeyEvent& key) {
  int perCode = 0;
  KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(key.keycode), 1, &perCode);
  if (!syms) return NoSymbol;
  KeySym first = perCode > 0 ? syms[0] : NoSymbol;
  KeySym second = perCode > 1 ? syms[1] : NoSymbol;
  XFree(syms);
  if (second == NoSymbol) XConvertCase(first, &first, &second);
  return (key.state & ShiftMask) ? second : first;
}

}  // namespace

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "x_event_recorder: cannot open the display \"%s\"\n", XDisplayName(nullptr));
    return 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--pointer") == 0) {
    Window root = DefaultRootWindow(display), child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display, root, &root, &child, &x, &y, &windowX, &windowY, &mask);  // (one screen)
    std::printf("%d %d\n", x, y);
    XCloseDisplay(display);  // the sanitizer build counts an open display as a leak
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "--warp") == 0) {
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, std::atoi(argv[2]), std::atoi(argv[3]));
    XCloseDisplay(display);
    return 0;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: x_event_recorder [--pointer | --warp X Y]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  // Nobody manages windows on the test display; override-redirect keeps it so
  // should a window manager be running.
  attributes.override_redirect = True;
  attributes.event_mask = KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0,
                                static_cast<unsigned>(DisplayWidth(display, screen)),
                                static_cast<unsigned>(DisplayHeight(display, screen)), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display, window);

  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case MapNotify:
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        XSync(display, False);
        std::printf("ready\n");
        break;
      case KeyPress: {
        KeySym sym = keysymFor(display, event.xkey);
        const char* name = sym == NoSymbol ? nullptr : XKeysymToString(sym);
        std::printf("key %s %s\n", name ? name : "NoSymbol", escapedText(sym).c_str());
        break;
      }
      case ButtonPress:
        std::printf("press %u\n", event.xbutton.button);
        break;
      case ButtonRelease:
        std::printf("release %u\n", event.xbutton.button);
        break;
      default:
        break;
    }
  }
}
