#include "platform/linux/x11_display.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

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

// Traps in force and the log for the rest. The handler runs on whichever
// thread reads the error, with Xlib's display lock held: it makes no Xlib
// call and logs outside this lock.
std::mutex errorMutex;
std::vector<XErrorTrap*>& traps() {
  static std::vector<XErrorTrap*> all;
  return all;
}
struct ErrorLog {
  kit::Logger log;
  std::chrono::steady_clock::time_point last{};
  bool logged = false;
  unsigned long unreported = 0;
};
ErrorLog& errorLog() {
  static ErrorLog state;
  return state;
}

const char* errorName(int code) {
  static const char* const names[] = {"Success",  "BadRequest", "BadValue",          "BadWindow",   "BadPixmap",
                                      "BadAtom",  "BadCursor",  "BadFont",           "BadMatch",    "BadDrawable",
                                      "BadAccess", "BadAlloc",  "BadColor",          "BadGC",       "BadIDChoice",
                                      "BadName",  "BadLength",  "BadImplementation"};
  return code >= 0 && code < static_cast<int>(std::size(names)) ? names[code] : "an extension's error";
}

// A flood of errors (a client that keeps asking for a window that went
// away) must not flood the log: one line a second at most.
constexpr std::chrono::seconds kErrorLogInterval{1};

int onProtocolError(Display* display, XErrorEvent* error) {
  kit::Logger log;
  unsigned long skipped = 0;
  {
    std::lock_guard lock(errorMutex);
    // The newest trap on this display that covers the request.
    for (auto it = traps().rbegin(); it != traps().rend(); ++it) {
      if ((*it)->display() == display && error->serial >= (*it)->firstSerial()) {
        (*it)->record(error->error_code);
        return 0;
      }
    }
    ErrorLog& state = errorLog();
    auto now = std::chrono::steady_clock::now();
    if (state.logged && now - state.last < kErrorLogInterval) {
      ++state.unreported;
      return 0;
    }
    state.logged = true;
    state.last = now;
    skipped = state.unreported;
    state.unreported = 0;
    log = state.log;
  }
  char line[200];
  std::snprintf(line, sizeof line, "X protocol error %s (%d) in request %d.%d on resource 0x%lx", errorName(error->error_code),
                error->error_code, error->request_code, error->minor_code, error->resourceid);
  std::string text = line;
  if (skipped > 0) text += " (" + std::to_string(skipped) + " more since the last report)";
  log.error(std::move(text));
  return 0;
}

}  // namespace

void prepareXlib() {
  static std::once_flag prepared;
  std::call_once(prepared, [] {
    XInitThreads();
    XSetErrorHandler(onProtocolError);
    XSetIOErrorHandler(quietIOError);
  });
}

void restoreXlibHandlers() {
  prepareXlib();
  XSetErrorHandler(onProtocolError);
  XSetIOErrorHandler(quietIOError);
}

void setXErrorLog(kit::Logger log) {
  std::lock_guard lock(errorMutex);
  errorLog().log = std::move(log);
}

void surviveDisplayLoss(Display* display) {
  prepareXlib();
  XSetIOErrorExitHandler(display, markLost, nullptr);
}

Display* openDisplay(const std::string& name) {
  prepareXlib();
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display) surviveDisplayLoss(display);
  return display;
}

XErrorTrap::XErrorTrap(Display* display) : display_(display), firstSerial_(NextRequest(display)) {
  std::lock_guard lock(errorMutex);
  traps().push_back(this);
}

XErrorTrap::~XErrorTrap() {
  // Errors of requests still unanswered belong to this trap, not to the log.
  if (NextRequest(display_) - 1 > LastKnownRequestProcessed(display_)) XSync(display_, False);
  std::lock_guard lock(errorMutex);
  std::erase(traps(), this);
}

int XErrorTrap::check() {
  XSync(display_, False);
  std::lock_guard lock(errorMutex);
  return error_;
}

void XErrorTrap::record(int code) {
  if (error_ == 0) error_ = code;
}

bool isDisplayLost(Display* display) {
  std::lock_guard lock(lostMutex);
  return lostDisplays().contains(display);
}

std::vector<std::uint8_t> readXSettings(Display* display) {
  std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
  Window owner = XGetSelectionOwner(display, XInternAtom(display, selection.c_str(), False));
  if (owner == None) return {};
  Atom property = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  XErrorTrap trap(display);
  int status = XGetWindowProperty(display, owner, property, 0, 1 << 16, False, property, &type, &format, &count, &after,
                                  &data);
  std::vector<std::uint8_t> blob;
  if (trap.check() == 0 && status == Success && data && format == 8) blob.assign(data, data + count);
  if (data) XFree(data);
  return blob;
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
  // The server may have gone during the close; the memory is freed all the
  // same, and a display opened later may get its address.
  std::lock_guard lock(lostMutex);
  lostDisplays().erase(display);
}

}  // namespace tillerpad::platform::linux_x11
