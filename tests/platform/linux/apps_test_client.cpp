// A window for the application catalog's tests:
//   apps_test_client --class NAME,CLASS [--gtk-id ID] [--skip-taskbar] [--dock] [--icon] [--mark FILE]
// maps one top-level window with those properties, appends a line to FILE
// when given, prints "ready", and quits on "quit" on standard input or when
// the X server goes.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::string wmClass = "client,Client", gtkId, mark;
  bool skipTaskbar = false, dock = false, icon = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--class" && i + 1 < argc) wmClass = argv[++i];
    else if (a == "--gtk-id" && i + 1 < argc) gtkId = argv[++i];
    else if (a == "--mark" && i + 1 < argc) mark = argv[++i];
    else if (a == "--skip-taskbar") skipTaskbar = true;
    else if (a == "--dock") dock = true;
    else if (a == "--icon") icon = true;
  }
  if (!mark.empty()) std::ofstream(mark, std::ios::app) << "started " << getpid() << "\n";
  Display* d = XOpenDisplay(nullptr);
  if (!d) return 2;
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 10, 10, 120, 80, 0, 0, 0xFFFFFF);
  std::string classBytes = wmClass;
  std::replace(classBytes.begin(), classBytes.end(), ',', '\0');
  classBytes.push_back('\0');
  XChangeProperty(d, w, XA_WM_CLASS, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(classBytes.data()), static_cast<int>(classBytes.size()));
  long pid = getpid();
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&pid), 1);
  if (!gtkId.empty()) {
    XChangeProperty(d, w, XInternAtom(d, "_GTK_APPLICATION_ID", False), XInternAtom(d, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(gtkId.data()), static_cast<int>(gtkId.size()));
  }
  if (skipTaskbar) {
    long state = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False));
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&state), 1);
  }
  if (dock) {
    long type = static_cast<long>(XInternAtom(d, "_NET_WM_WINDOW_TYPE_DOCK", False));
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&type), 1);
  }
  if (icon) {
    // 8x8 opaque red, after a 2x2 blue one.
    std::vector<long> items = {2, 2};
    items.insert(items.end(), 4, 0xFF0000FF);
    items.insert(items.end(), {8, 8});
    items.insert(items.end(), 64, 0xFFFF0000);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(items.data()), static_cast<int>(items.size()));
  }
  XMapWindow(d, w);
  XSync(d, False);
  std::printf("ready\n");
  std::fflush(stdout);
  bool input = true;
  std::string line;
  while (true) {
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
    }
    pollfd fds[2] = {{input ? 0 : -1, POLLIN, 0}, {ConnectionNumber(d), POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0) break;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char c;
      ssize_t n = read(0, &c, 1);
      if (n <= 0) input = false;  // launched without a terminal: run until the server goes
      else if (c != '\n') line.push_back(c);
      else if (line == "quit") break;
      else line.clear();
    }
    if (fds[1].revents & (POLLHUP | POLLERR)) break;
  }
  XCloseDisplay(d);
  return 0;
}
