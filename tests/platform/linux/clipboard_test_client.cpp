// A small X client that plays the other side of the CLIPBOARD selection:
//
//   clipboard_test_client own TARGET=VALUE...    owns CLIPBOARD with these targets
//   clipboard_test_client hang TARGET=VALUE...   owns it and never answers a request
//   clipboard_test_client lie TARGET=N           owns it and answers TARGET in chunks,
//                                                announcing 1 byte and sending N x 256 KiB
//   clipboard_test_client stall TARGET           asks for TARGET and, if the answer
//                                                comes in chunks, never takes one
//   clipboard_test_client manager                a clipboard manager: on SAVE_TARGETS
//                                                it copies UTF8_STRING and prints it
//
// Prints "ready" once in place, then what it saw ("asked" per request to an
// owner, "saved TEXT", "incr");
// ends when its standard input closes. Every wait is bounded.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

Display* d = nullptr;
Window window = None;

Atom atom(const char* name) { return XInternAtom(d, name, False); }

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void put(Window w, Atom property, Atom type, int format, const void* data, std::size_t n) {
  XChangeProperty(d, w, property, type, format, PropModeReplace, static_cast<const unsigned char*>(data), static_cast<int>(n));
}

// Reads (and with `remove`, deletes) a property of our window.
std::string take(Atom property, bool remove, Atom* type) {
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(d, window, property, 0, remove ? 1 << 20 : 0, remove, AnyPropertyType, type, &format, &n, &after, &data);
  std::string value(data ? reinterpret_cast<char*>(data) : "", data ? n : 0);
  if (data) XFree(data);
  return value;
}

// The next event, or false when standard input closed or `ms` passed.
bool nextEvent(XEvent& event, int ms = 60000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (XPending(d) > 0) {
      XNextEvent(d, &event);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {0, POLLIN, 0}};
    char c;
    if (::poll(fds, 2, static_cast<int>(left)) > 0 && fds[1].revents && ::read(0, &c, 1) <= 0) return false;
  }
}

void own(bool answer, bool lie, const std::vector<std::pair<Atom, std::string>>& offers) {
  Atom clipboard = atom("CLIPBOARD"), targets = atom("TARGETS");
  XSetSelectionOwner(d, clipboard, window, CurrentTime);
  if (XGetSelectionOwner(d, clipboard) != window) return say("not owner");
  say("ready");
  // The chunked answer of "lie": where it goes and how many chunks are left.
  Window requestor = None;
  Atom chunked = None;
  long left = -1;
  XEvent event;
  while (nextEvent(event)) {
    if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete && event.xproperty.window == requestor &&
        event.xproperty.atom == chunked && left >= 0) {
      std::string chunk(left-- > 0 ? 256 * 1024 : 0, 'x');
      put(requestor, chunked, offers.front().first, 8, chunk.data(), chunk.size());
      XFlush(d);
    }
    if (event.type != SelectionRequest) continue;
    say("asked");  // so a script knows the desktop has looked at the content
    if (!answer) continue;
    const XSelectionRequestEvent& r = event.xselectionrequest;
    XSelectionEvent reply{SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, None, r.time};
    std::vector<Atom> list{targets};
    for (const auto& [target, value] : offers) {
      list.push_back(target);
      if (target != r.target) continue;
      reply.property = r.property;
      if (!lie) {
        put(r.requestor, r.property, target, 8, value.data(), value.size());
        continue;
      }
      XSelectInput(d, r.requestor, PropertyChangeMask);
      long size = 1;
      put(r.requestor, r.property, atom("INCR"), 32, &size, 1);
      requestor = r.requestor, chunked = r.property, left = std::atol(value.c_str());
    }
    if (r.target == targets) {
      put(r.requestor, r.property, XA_ATOM, 32, list.data(), list.size());
      reply.property = r.property;
    }
    XSendEvent(d, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);
  }
}

// Converts CLIPBOARD to `target` into our property; the SelectionNotify's
// property (None when refused, or after 5 s).
Atom convert(Atom target, Atom property) {
  XConvertSelection(d, atom("CLIPBOARD"), target, property, window, CurrentTime);
  XEvent event;
  while (nextEvent(event, 5000)) {
    if (event.type == SelectionNotify && event.xselection.requestor == window) return event.xselection.property;
  }
  return None;
}

void stall(const char* target) {
  say("ready");
  Atom property = atom("TEST_STALL"), type = None;
  if (convert(atom(target), property) == None) return say("refused");
  // The property stays: the owner waits for its deletion forever.
  take(property, false, &type);
  say(type == atom("INCR") ? "incr" : "whole");
  XEvent event;
  while (nextEvent(event)) {
  }
}

void manager() {
  Atom managerAtom = atom("CLIPBOARD_MANAGER"), saved = atom("TEST_SAVED"), type = None;
  XSetSelectionOwner(d, managerAtom, window, CurrentTime);
  if (XGetSelectionOwner(d, managerAtom) != window) return say("not owner");
  say("ready");
  XEvent event;
  while (nextEvent(event)) {
    if (event.type != SelectionRequest) continue;
    XSelectionRequestEvent r = event.xselectionrequest;
    XSelectionEvent reply{SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, None, r.time};
    if (r.selection == managerAtom && r.target == atom("SAVE_TARGETS") && convert(atom("UTF8_STRING"), saved) != None) {
      say("saved " + take(saved, true, &type));
      reply.property = r.property;
    }
    XSendEvent(d, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  d = XOpenDisplay(nullptr);
  if (!d) return 1;
  window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  std::string mode = argv[1];
  std::vector<std::pair<Atom, std::string>> offers;
  for (int i = 2; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (!equals) continue;
    offers.emplace_back(atom(std::string(argv[i], static_cast<std::size_t>(equals - argv[i])).c_str()), equals + 1);
  }
  if (mode == "own" || mode == "hang" || mode == "lie") own(mode != "hang", mode == "lie", offers);
  if (mode == "stall" && argc > 2) stall(argv[2]);
  if (mode == "manager") manager();
  XCloseDisplay(d);
  return 0;
}
