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
// Prints "ready" once in place, then what it saw ("saved TEXT", "incr",
// "cleared"); ends when its standard input closes. Every wait is bounded.
#include <poll.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

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

// The next event, or false when standard input closed or `ms` passed.
bool nextEvent(XEvent& event, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (XPending(d) > 0) {
      XNextEvent(d, &event);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {0, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) > 0 && fds[1].revents) {
      char c;
      if (::read(0, &c, 1) <= 0) return false;
    }
  }
}

// The chunked answer of "lie": where it goes and how many chunks are left.
struct Lie {
  Window requestor = None;
  Atom property = None;
  long left = 0;
};

void own(bool answer, bool lie, const std::vector<std::pair<Atom, std::string>>& offers) {
  Lie sending;
  Atom clipboard = atom("CLIPBOARD"), targets = atom("TARGETS");
  XSetSelectionOwner(d, clipboard, window, CurrentTime);
  if (XGetSelectionOwner(d, clipboard) != window) return say("not owner");
  say("ready");
  XEvent event;
  while (nextEvent(event, 60000)) {
    if (event.type == SelectionClear) say("cleared");
    if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete &&
        event.xproperty.window == sending.requestor && event.xproperty.atom == sending.property && sending.left >= 0) {
      std::string chunk(sending.left > 0 ? 256 * 1024 : 0, 'x');
      XChangeProperty(d, sending.requestor, sending.property, offers.front().first, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<int>(chunk.size()));
      --sending.left;
      XFlush(d);
    }
    if (event.type != SelectionRequest || !answer) continue;
    const XSelectionRequestEvent& r = event.xselectionrequest;
    XSelectionEvent reply{SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, None, r.time};
    if (r.target == targets) {
      std::vector<Atom> list{targets};
      for (const auto& offer : offers) list.push_back(offer.first);
      XChangeProperty(d, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(list.data()), static_cast<int>(list.size()));
      reply.property = r.property;
    }
    for (const auto& [target, value] : offers) {
      if (target != r.target) continue;
      if (lie) {
        XSelectInput(d, r.requestor, PropertyChangeMask);
        long size = 1;
        XChangeProperty(d, r.requestor, r.property, atom("INCR"), 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        sending = {r.requestor, r.property, std::atol(value.c_str())};
        reply.property = r.property;
        continue;
      }
      XChangeProperty(d, r.requestor, r.property, target, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
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
  Atom property = atom("TEST_STALL");
  if (convert(atom(target), property) == None) return say("refused");
  Atom type = None;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(d, window, property, 0, 0, False, AnyPropertyType, &type, &format, &n, &after, &data);
  if (data) XFree(data);
  // The property stays: the owner waits for its deletion forever.
  say(type == atom("INCR") ? "incr" : "whole");
  XEvent event;
  while (nextEvent(event, 60000)) {
  }
}

void manager() {
  Atom managerAtom = atom("CLIPBOARD_MANAGER");
  XSetSelectionOwner(d, managerAtom, window, CurrentTime);
  say("ready");
  XEvent event;
  while (nextEvent(event, 60000)) {
    if (event.type != SelectionRequest) continue;
    XSelectionRequestEvent r = event.xselectionrequest;
    XSelectionEvent reply{SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, None, r.time};
    if (r.selection == managerAtom && r.target == atom("SAVE_TARGETS")) {
      Atom property = atom("TEST_SAVED");
      if (convert(atom("UTF8_STRING"), property) != None) {
        Atom type = None;
        int format = 0;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(d, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &n, &after, &data);
        say("saved " + std::string(reinterpret_cast<char*>(data), n));
        if (data) XFree(data);
        reply.property = r.property;
      }
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
