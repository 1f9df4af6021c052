#include "platform/linux/x11_input.h"

#include "platform/linux/x11_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/gsettings.h"
#include "platform/linux/key_positions.h"
#include "platform/linux/xsettings.h"

namespace tillerpad::platform::linux_x11 {
namespace {

// How long a spare key code keeps its character after its last press before
// it may be bound to another. A client looks a key up in the server's map
// when it handles the event, not when the key went down, and an application
// busy painting or collecting garbage handles input a few hundred
// milliseconds late; a second covers that with room to spare. With the
// spare codes a keymap leaves (19 on Xvfb's default one) that still types a
// score of new characters a second, and characters typed again reuse their
// binding without waiting.
constexpr std::chrono::milliseconds kSpareMinimumAge{1000};

constexpr double kDefaultDoubleClickSeconds = 0.4;

using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

template <class T>
struct XFreeDeleter {
  void operator()(T* p) const { XFree(p); }
};

// The keysym X uses for a Unicode scalar value.
KeySym keysymForCodePoint(char32_t cp) {
  if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return cp;
  return 0x01000000 | cp;
}

std::vector<char32_t> codePoints(const std::u16string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      continue;  // an unpaired surrogate names no character
    }
    out.push_back(c);
  }
  return out;
}

unsigned int xButton(int button) {
  switch (button) {
    case 0: return 1;
    case 1: return 3;
    default: return 2;
  }
}

bool isPress(MouseEventType t) {
  return t == MouseEventType::leftDown || t == MouseEventType::rightDown || t == MouseEventType::otherDown;
}
bool isRelease(MouseEventType t) {
  return t == MouseEventType::leftUp || t == MouseEventType::rightUp || t == MouseEventType::otherUp;
}

}  // namespace

struct X11Input::Impl {
  DisplayPtr display;
  Window root = 0;
  int minKeyCode = 8;
  int maxKeyCode = 255;
  kit::Logger log;
  std::mutex mutex;
  double wheelX = 0;
  double wheelY = 0;
  // Key codes without symbols, lent to characters. A binding stays until its
  // code is needed for another character and has not been pressed for
  // kSpareMinimumAge, because a client reads the mapping only when it
  // handles the key event.
  struct Spare {
    KeyCode code = 0;
    KeySym sym = NoSymbol;  // bound by us, if anything
    std::chrono::steady_clock::time_point lastUse{};
  };
  std::vector<Spare> spares;

  void flush() { XFlush(display.get()); }

  std::optional<KeyCode> keyCodeFor(std::uint16_t virtualKey) {
    auto evdev = evdevCodeForKey(virtualKey);
    if (!evdev) return std::nullopt;
    int code = *evdev + kEvdevToX;
    if (code < minKeyCode || code > maxKeyCode) return std::nullopt;
    return static_cast<KeyCode>(code);
  }

  // The server's key mapping as it is now: other clients (setxkbmap, a
  // layout switch) change it behind this connection's back.
  struct Mapping {
    std::vector<KeySym> syms;
    int perCode = 0;
    KeySym first(int code) const {
      std::size_t i = static_cast<std::size_t>((code - minCode) * perCode);
      return perCode > 0 && i < syms.size() ? syms[i] : NoSymbol;
    }
    bool empty(int code) const {
      for (int j = 0; j < perCode; ++j) {
        std::size_t i = static_cast<std::size_t>((code - minCode) * perCode + j);
        if (i < syms.size() && syms[i] != NoSymbol) return false;
      }
      return true;
    }
    void bind(int code, KeySym sym) {
      for (int j = 0; j < perCode; ++j) {
        std::size_t i = static_cast<std::size_t>((code - minCode) * perCode + j);
        if (i < syms.size()) syms[i] = j < 2 ? sym : NoSymbol;
      }
    }
    int minCode = 8;
  };

  Mapping currentMapping() {
    Mapping m;
    m.minCode = minKeyCode;
    int count = maxKeyCode - minKeyCode + 1;
    std::unique_ptr<KeySym, XFreeDeleter<KeySym>> map(
        XGetKeyboardMapping(display.get(), static_cast<KeyCode>(minKeyCode), count, &m.perCode));
    if (map) m.syms.assign(map.get(), map.get() + count * m.perCode);
    return m;
  }

  // A key code whose first level is `sym`, binding a spare one if need be.
  // When every spare code was pressed too recently, waits for the oldest
  // with the lock released (at most kSpareMinimumAge per wait), so that
  // other input and queries are not held up.
  std::optional<KeyCode> keyCodeForKeysym(KeySym sym, Mapping& mapping, std::unique_lock<std::mutex>& lock) {
    using Clock = std::chrono::steady_clock;
    // Another thread may take the code we waited for; a few rounds suffice
    // in practice, and each is bounded.
    for (int round = 0; round < 4; ++round) {
      auto now = Clock::now();
      for (int code = minKeyCode; code <= maxKeyCode; ++code) {
        if (mapping.first(code) != sym) continue;
        for (Spare& spare : spares) {
          if (spare.code == code) spare.lastUse = now;
        }
        return static_cast<KeyCode>(code);
      }
      Spare* chosen = nullptr;
      Spare* oldest = nullptr;
      for (Spare& spare : spares) {
        if (mapping.empty(spare.code)) {
          // Never bound, or the binding was wiped by a new layout.
          spare.sym = NoSymbol;
          chosen = &spare;
          break;
        }
        // A layout that claimed the code keeps it.
        if (spare.sym == NoSymbol || mapping.first(spare.code) != spare.sym) continue;
        if (!oldest || spare.lastUse < oldest->lastUse) oldest = &spare;
      }
      if (!chosen && oldest && now - oldest->lastUse >= kSpareMinimumAge) chosen = oldest;
      if (chosen) {
        KeySym syms[2] = {sym, sym};  // shift must not change it
        XChangeKeyboardMapping(display.get(), chosen->code, 2, syms, 1);
        chosen->sym = sym;
        chosen->lastUse = now;
        mapping.bind(chosen->code, sym);
        return chosen->code;
      }
      if (!oldest) return std::nullopt;  // no spare codes at all
      auto until = oldest->lastUse + kSpareMinimumAge;
      flush();  // the keys typed so far go out while we wait
      lock.unlock();
      std::this_thread::sleep_until(until);
      lock.lock();
      mapping = currentMapping();
    }
    return std::nullopt;
  }

  void tap(KeyCode code) {
    XTestFakeKeyEvent(display.get(), code, True, CurrentTime);
    XTestFakeKeyEvent(display.get(), code, False, CurrentTime);
  }

  void findSpareKeyCodes() {
    int perCode = 0;
    int count = maxKeyCode - minKeyCode + 1;
    std::unique_ptr<KeySym, XFreeDeleter<KeySym>> map(
        XGetKeyboardMapping(display.get(), static_cast<KeyCode>(minKeyCode), count, &perCode));
    if (!map) return;
    // Every empty code: the more there are, the fewer characters wait. A
    // layout loaded later may claim some; those are then passed over.
    for (int i = 0; i < count; ++i) {
      bool empty = true;
      for (int j = 0; j < perCode; ++j) empty = empty && map.get()[i * perCode + j] == NoSymbol;
      if (empty) spares.push_back({static_cast<KeyCode>(minKeyCode + i)});
    }
  }

  void restoreSpareKeyCodes() {
    auto mapping = currentMapping();
    KeySym none[1] = {NoSymbol};
    for (Spare& spare : spares) {
      // Only our own bindings: a new layout may have put a real key there.
      if (spare.sym != NoSymbol && mapping.first(spare.code) == spare.sym) {
        XChangeKeyboardMapping(display.get(), spare.code, 1, none, 1);
      }
      spare.sym = NoSymbol;
    }
    XSync(display.get(), False);
  }
};

std::unique_ptr<X11Input> X11Input::open(const std::string& displayName, kit::Logger log) {
  DisplayPtr display(openDisplay(displayName));
  if (!display) {
    log.error("Cannot open the X display");
    return nullptr;
  }
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
    log.error("The X display has no XTest extension");
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->root = DefaultRootWindow(display.get());
  XDisplayKeycodes(display.get(), &impl->minKeyCode, &impl->maxKeyCode);
  impl->display = std::move(display);
  impl->log = std::move(log);
  impl->findSpareKeyCodes();
  return std::unique_ptr<X11Input>(new X11Input(std::move(impl)));
}

X11Input::X11Input(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Input::~X11Input() {
  std::lock_guard lock(impl_->mutex);
  impl_->restoreSpareKeyCodes();
}

bool X11Input::postMouse(const MouseEvent& event) {
  if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y)) return false;
  std::lock_guard lock(impl_->mutex);
  Display* d = impl_->display.get();
  auto x = static_cast<int>(std::lround(std::clamp(event.location.x, -1e6, 1e6)));
  auto y = static_cast<int>(std::lround(std::clamp(event.location.y, -1e6, 1e6)));
  XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
  if (isPress(event.type)) XTestFakeButtonEvent(d, xButton(event.button), True, CurrentTime);
  if (isRelease(event.type)) XTestFakeButtonEvent(d, xButton(event.button), False, CurrentTime);
  impl_->flush();
  return true;
}

bool X11Input::postScroll(const ScrollEvent& event) {
  std::lock_guard lock(impl_->mutex);
  Display* d = impl_->display.get();
  // One wheel click per step of pixels; a change of direction starts afresh.
  auto emit = [d](double& acc, std::int32_t pixels, unsigned int positive, unsigned int negative) {
    if (pixels == 0) return;
    if ((acc > 0 && pixels < 0) || (acc < 0 && pixels > 0)) acc = 0;
    acc += pixels;
    while (std::abs(acc) >= wheelStepPixels) {
      unsigned int button = acc > 0 ? positive : negative;
      XTestFakeButtonEvent(d, button, True, CurrentTime);
      XTestFakeButtonEvent(d, button, False, CurrentTime);
      acc -= acc > 0 ? wheelStepPixels : -wheelStepPixels;
    }
  };
  emit(impl_->wheelY, event.vertical, 4, 5);
  emit(impl_->wheelX, event.horizontal, 6, 7);
  impl_->flush();
  return true;
}

bool X11Input::postKey(const KeyEvent& event) {
  std::lock_guard lock(impl_->mutex);
  auto code = impl_->keyCodeFor(event.keyCode);
  if (!code) return false;
  // The flags need no translation: X derives them from the modifier keys,
  // which the host presses itself.
  XTestFakeKeyEvent(impl_->display.get(), *code, event.down ? True : False, CurrentTime);
  impl_->flush();
  return true;
}

bool X11Input::postText(const TextEvent& event) {
  // The whole run is typed when its key goes down; the release has nothing left to do.
  if (!event.down) return true;
  std::unique_lock lock(impl_->mutex);
  auto mapping = impl_->currentMapping();
  bool typed = false;
  for (char32_t cp : codePoints(event.text)) {
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) continue;
    auto code = impl_->keyCodeForKeysym(keysymForCodePoint(cp), mapping, lock);
    if (!code) continue;
    impl_->tap(*code);
    typed = true;
  }
  impl_->flush();
  return typed;
}

std::optional<Point> X11Input::cursorLocation() {
  std::lock_guard lock(impl_->mutex);
  Window rootReturn = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(impl_->display.get(), impl_->root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask)) {
    return std::nullopt;
  }
  return Point{static_cast<double>(rootX), static_cast<double>(rootY)};
}

std::vector<DisplayInfo> X11Input::activeDisplays() {
  std::lock_guard lock(impl_->mutex);
  Display* d = impl_->display.get();
  std::vector<DisplayInfo> out;
  int eventBase = 0, errorBase = 0;
  if (XRRQueryExtension(d, &eventBase, &errorBase)) {
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, decltype(&XRRFreeMonitors)> monitors(XRRGetMonitors(d, impl_->root, True, &count),
                                                                          &XRRFreeMonitors);
    for (int i = 0; monitors && i < count; ++i) {
      const XRRMonitorInfo& m = monitors.get()[i];
      DisplayInfo info;
      // The first output's id is stable while the monitor stays connected.
      info.id = m.noutput > 0 ? static_cast<std::uint32_t>(m.outputs[0]) : static_cast<std::uint32_t>(i + 1);
      info.bounds = {static_cast<double>(m.x), static_cast<double>(m.y), static_cast<double>(m.width),
                     static_cast<double>(m.height)};
      info.isMain = m.primary != 0;
      if (char* name = XGetAtomName(d, m.name)) {
        info.name = name;
        XFree(name);
      }
      out.push_back(std::move(info));
    }
  }
  if (out.empty()) {
    // No RandR monitors: the whole screen is one display.
    int screen = DefaultScreen(d);
    out.push_back({1, {0, 0, static_cast<double>(DisplayWidth(d, screen)), static_cast<double>(DisplayHeight(d, screen))},
                   "screen", true});
  }
  std::stable_partition(out.begin(), out.end(), [](const DisplayInfo& i) { return i.isMain; });
  return out;
}

namespace {

// What the running settings manager announces (GNOME, Xfce, MATE and others
// run one); absent without a manager or the setting.
std::optional<std::int32_t> xsettingsDoubleClickTime(Display* d) {
  return xsettingsInteger(readXSettings(d), "Net/DoubleClickTime");
}

}  // namespace

double X11Input::doubleClickInterval() {
  std::optional<std::int32_t> ms;
  {
    std::lock_guard lock(impl_->mutex);
    ms = xsettingsDoubleClickTime(impl_->display.get());
  }
  if (ms && *ms > 0 && *ms < 5000) return static_cast<double>(*ms) / 1000.0;
  ms = gsettingsInt("org.gnome.desktop.peripherals.mouse", "double-click");
  if (ms && *ms > 0 && *ms < 5000) return static_cast<double>(*ms) / 1000.0;
  return kDefaultDoubleClickSeconds;
}

bool X11Input::postMediaKey(MediaKey key, bool down) {
  KeySym sym = 0;
  switch (key) {
    case MediaKey::soundUp: sym = 0x1008FF13; break;    // XF86AudioRaiseVolume
    case MediaKey::soundDown: sym = 0x1008FF11; break;  // XF86AudioLowerVolume
    case MediaKey::mute: sym = 0x1008FF12; break;       // XF86AudioMute
    case MediaKey::play: sym = 0x1008FF14; break;       // XF86AudioPlay
    case MediaKey::next: sym = 0x1008FF17; break;       // XF86AudioNext
    case MediaKey::previous: sym = 0x1008FF16; break;   // XF86AudioPrev
  }
  std::unique_lock lock(impl_->mutex);
  auto mapping = impl_->currentMapping();
  auto code = impl_->keyCodeForKeysym(sym, mapping, lock);
  if (!code) return false;
  XTestFakeKeyEvent(impl_->display.get(), *code, down ? True : False, CurrentTime);
  impl_->flush();
  return true;
}

std::optional<std::string> X11Input::forceDisplaysOff() {
  std::lock_guard lock(impl_->mutex);
  Display* d = impl_->display.get();
  int eventBase = 0, errorBase = 0;
  if (!DPMSQueryExtension(d, &eventBase, &errorBase) || !DPMSCapable(d)) {
    return std::string("the X display has no DPMS");
  }
  DPMSEnable(d);
  if (!DPMSForceLevel(d, DPMSModeOff)) return std::string("DPMS refused to turn the display off");
  XFlush(d);
  return std::nullopt;
}

}  // namespace tillerpad::platform::linux_x11
