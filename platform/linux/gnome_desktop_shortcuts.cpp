#include "platform/linux/gnome_desktop_shortcuts.h"

#include "platform/linux/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <array>
#include <mutex>

#include "platform/linux/gsettings.h"
#include "platform/linux/key_positions.h"

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr std::uint64_t kFlagShift = 0x20000;
constexpr std::uint64_t kFlagControl = 0x40000;
constexpr std::uint64_t kFlagAlternate = 0x80000;

struct Binding {
  std::string_view hotKeyId;
  const char* schema;
  const char* key;
};

constexpr std::array<Binding, 5> kBindings{{
    {"32", "org.gnome.shell.keybindings", "toggle-overview"},
    {"33", "org.gnome.shell.keybindings", "toggle-application-view"},
    {"36", "org.gnome.desktop.wm.keybindings", "show-desktop"},
    {"79", "org.gnome.desktop.wm.keybindings", "switch-to-workspace-left"},
    {"81", "org.gnome.desktop.wm.keybindings", "switch-to-workspace-right"},
}};


bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<Accelerator> parseAccelerator(std::string_view text) {
  Accelerator out;
  while (!text.empty() && text.front() == '<') {
    auto close = text.find('>');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view name = text.substr(1, close - 1);
    text.remove_prefix(close + 1);
    if (equalsIgnoringCase(name, "control") || equalsIgnoringCase(name, "ctrl") ||
        equalsIgnoringCase(name, "primary")) {
      out.modifierFlags |= kFlagControl;
    } else if (equalsIgnoringCase(name, "alt") || equalsIgnoringCase(name, "mod1")) {
      out.modifierFlags |= kFlagAlternate;
    } else if (equalsIgnoringCase(name, "shift")) {
      out.modifierFlags |= kFlagShift;
    } else {
      return std::nullopt;  // Super, Hyper, Meta, Mod4 ...: no such key on the phone's side
    }
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c == '<' || c == '>' || c == ' ') return std::nullopt;
  }
  out.keyName = std::string(text);
  return out;
}

struct GnomeDesktopShortcuts::Impl {
  kit::Logger log;
  std::mutex mutex;
  std::unique_ptr<Display, DisplayCloser> display;

  std::optional<std::uint16_t> virtualKeyFor(const std::string& keyName) {
    if (!display) return std::nullopt;
    KeySym sym = XStringToKeysym(keyName.c_str());
    if (sym == NoSymbol) return std::nullopt;
    KeyCode code = XKeysymToKeycode(display.get(), sym);
    if (code < kEvdevToX) return std::nullopt;
    return virtualKeyForEvdevCode(static_cast<std::uint16_t>(code - kEvdevToX));
  }

  bool supports(Atom property) {
    Display* d = display.get();
    Atom supported = XInternAtom(d, "_NET_SUPPORTED", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), supported, 0, 4096, False, XA_ATOM, &type, &format, &count,
                           &after, &data) != Success ||
        !data) {
      return false;
    }
    bool found = false;
    if (format == 32) {
      auto* atoms = reinterpret_cast<unsigned long*>(data);
      for (unsigned long i = 0; i < count; ++i) found = found || atoms[i] == property;
    }
    XFree(data);
    return found;
  }

  std::optional<long> cardinal(const char* name) {
    Display* d = display.get();
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False), 0, 1, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) != Success ||
        !data) {
      return std::nullopt;
    }
    std::optional<long> value;
    if (format == 32 && count == 1) value = *reinterpret_cast<long*>(data);
    XFree(data);
    return value;
  }

  void request(Atom message, long value) {
    Display* d = display.get();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = DefaultRootWindow(d);
    event.xclient.message_type = message;
    event.xclient.format = 32;
    event.xclient.data.l[0] = value;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(d);
  }
};

GnomeDesktopShortcuts::GnomeDesktopShortcuts(const std::string& displayName, kit::Logger log)
    : impl_(std::make_unique<Impl>()) {
  impl_->log = std::move(log);
  impl_->display.reset(openDisplay(displayName));
  if (!impl_->display) impl_->log.error("Cannot open the X display for window-management shortcuts");
}

GnomeDesktopShortcuts::~GnomeDesktopShortcuts() = default;

DesktopShortcut GnomeDesktopShortcuts::shortcut(std::string_view hotKeyId) {
  const Binding* binding = nullptr;
  for (const auto& b : kBindings) {
    if (b.hotKeyId == hotKeyId) binding = &b;
  }
  if (!binding) return {};
  auto setting = gsettingsStrings(binding->schema, binding->key);
  if (!setting) return {};
  bool empty = true;
  for (const auto& accelerator : setting->value) empty = empty && accelerator.empty();
  if (empty) return {setting->setByUser ? DesktopShortcut::State::disabled : DesktopShortcut::State::notSet, 0, 0};

  std::lock_guard lock(impl_->mutex);
  for (const auto& text : setting->value) {
    auto accelerator = parseAccelerator(text);
    if (!accelerator) continue;
    if (auto key = impl_->virtualKeyFor(accelerator->keyName)) {
      return {DesktopShortcut::State::bound, *key, accelerator->modifierFlags};
    }
  }
  return {};  // bindings exist, but none the host can press
}

bool GnomeDesktopShortcuts::performDirectly(std::string_view hotKeyId) {
  std::lock_guard lock(impl_->mutex);
  Display* d = impl_->display.get();
  if (!d) return false;
  if (hotKeyId == "36") {
    Atom showing = XInternAtom(d, "_NET_SHOWING_DESKTOP", False);
    if (!impl_->supports(showing)) return false;
    impl_->request(showing, impl_->cardinal("_NET_SHOWING_DESKTOP").value_or(0) ? 0 : 1);
    return true;
  }
  if (hotKeyId == "79" || hotKeyId == "81") {
    Atom current = XInternAtom(d, "_NET_CURRENT_DESKTOP", False);
    if (!impl_->supports(current)) return false;
    auto now = impl_->cardinal("_NET_CURRENT_DESKTOP");
    auto count = impl_->cardinal("_NET_NUMBER_OF_DESKTOPS");
    if (!now || !count) return false;
    long target = *now + (hotKeyId == "79" ? -1 : 1);
    // At the first or last workspace there is nowhere to go; that is done, not failed.
    if (target >= 0 && target < *count) impl_->request(current, target);
    return true;
  }
  return false;  // the overview and application view have no EWMH request
}

}  // namespace tillerpad::platform::linux_x11
