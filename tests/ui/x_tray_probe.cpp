// What the tray application's X test looks at and does on the display:
//
//   x_tray_probe has-tray          exit 0 when an XEmbed tray owns the screen's tray selection
//   x_tray_probe icons PID         one line per window of PID embedded in another
//                                  window (a tray icon): "icon <x> <y> <w> <h>"
//   x_tray_probe windows PID       one line per mapped top-level window of PID:
//                                  "window popup|normal <x> <y> <w> <h> <name>"
//   x_tray_probe click X Y         a left click at (X, Y)
//   x_tray_probe keys MOD+KEY      presses and releases a key with Control (MOD "ctrl")
//   x_tray_probe shot FILE.png     the whole screen as a PNG
// Qt first: Xlib's macros (Status, CursorShape) break its headers.
#include <QImage>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

long windowPid(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  long pid = -1;
  if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) == Success &&
      data && count == 1 && format == 32) {
    pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
  }
  if (data) XFree(data);
  return pid;
}

std::string windowName(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string name;
  if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 256, False,
                         XInternAtom(d, "UTF8_STRING", False), &type, &format, &count, &after, &data) == Success &&
      data) {
    name.assign(reinterpret_cast<char*>(data), count);
  }
  if (data) XFree(data);
  return name.empty() ? "-" : name;
}

// Calls `f(window, parent)` for every window under `w`, depth first.
void walk(Display* d, Window w, const std::function<void(Window, Window)>& f) {
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &count)) return;
  for (unsigned int i = 0; i < count; ++i) {
    f(children[i], w);
    walk(d, children[i], f);
  }
  if (children) XFree(children);
}

bool viewable(Display* d, Window w, XWindowAttributes& a) {
  return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

void rootPosition(Display* d, Window w, int& x, int& y) {
  Window child;
  XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
}

int usage() {
  std::fputs("usage: x_tray_probe has-tray | icons PID | windows PID | click X Y | keys ctrl+KEY | shot FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fputs("x_tray_probe: no display\n", stderr);
    return 1;
  }
  // Windows may go while the tree is walked.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Window root = DefaultRootWindow(d);
  int status = 0;
  if (command == "has-tray") {
    auto selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(d));
    status = XGetSelectionOwner(d, XInternAtom(d, selection.c_str(), False)) != None ? 0 : 1;
  } else if ((command == "icons" || command == "windows") && argc == 3) {
    long pid = std::atol(argv[2]);
    walk(d, root, [&](Window w, Window parent) {
      XWindowAttributes a;
      if (windowPid(d, w) != pid || !viewable(d, w, a)) return;
      int x, y;
      rootPosition(d, w, x, y);
      if (command == "icons" && parent != root) {
        std::printf("icon %d %d %d %d\n", x, y, a.width, a.height);
      } else if (command == "windows" && parent == root) {
        std::printf("window %s %d %d %d %d %s\n", a.override_redirect ? "popup" : "normal", x, y, a.width, a.height,
                    windowName(d, w).c_str());
      }
    });
  } else if (command == "click" && argc == 4) {
    XTestFakeMotionEvent(d, -1, std::atoi(argv[2]), std::atoi(argv[3]), CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
  } else if (command == "keys" && argc == 3 && std::strncmp(argv[2], "ctrl+", 5) == 0) {
    KeyCode control = XKeysymToKeycode(d, XK_Control_L);
    KeyCode key = XKeysymToKeycode(d, XStringToKeysym(argv[2] + 5));
    if (!key) return usage();
    XTestFakeKeyEvent(d, control, True, CurrentTime);
    XTestFakeKeyEvent(d, key, True, CurrentTime);
    XTestFakeKeyEvent(d, key, False, CurrentTime);
    XTestFakeKeyEvent(d, control, False, CurrentTime);
  } else if (command == "shot" && argc == 3) {
    XWindowAttributes a;
    XGetWindowAttributes(d, root, &a);
    XImage* image = XGetImage(d, root, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return 1;
    QImage picture(a.width, a.height, QImage::Format_RGB32);
    for (int y = 0; y < a.height; ++y) {
      auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
      for (int x = 0; x < a.width; ++x) line[x] = 0xff000000u | (XGetPixel(image, x, y) & 0xffffffu);
    }
    XDestroyImage(image);
    status = picture.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
  } else {
    return usage();
  }
  XSync(d, False);
  XCloseDisplay(d);
  return status;
}
