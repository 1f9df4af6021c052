#include "platform/linux/xkb_keyboard_layout.h"

#include "platform/linux/x11_display.h"

#include <X11/XKBlib.h>
#include <poll.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/linux/key_positions.h"

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr int kWatchPollMilliseconds = 200;

struct ConnectionCloser {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionCloser>;
struct ContextUnref {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
};
struct KeymapUnref {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};
struct StateUnref {
  void operator()(xkb_state* s) const { xkb_state_unref(s); }
};
using KeymapPtr = std::unique_ptr<xkb_keymap, KeymapUnref>;
using StatePtr = std::unique_ptr<xkb_state, StateUnref>;

// A connection with the XKB extension set up, and the core keyboard's id.
struct XkbConnection {
  ConnectionPtr connection;
  int32_t deviceId = -1;
};


std::optional<XkbConnection> connect(const std::string& displayName) {
  ConnectionPtr c(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr));
  if (!c || xcb_connection_has_error(c.get())) return std::nullopt;
  std::uint8_t eventBase = 0, errorBase = 0;
  if (!xkb_x11_setup_xkb_extension(c.get(), XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &eventBase, &errorBase)) {
    return std::nullopt;
  }
  int32_t device = xkb_x11_get_core_keyboard_device_id(c.get());
  if (device < 0) return std::nullopt;
  return XkbConnection{std::move(c), device};
}

class XkbLayout : public KeyboardLayout {
 public:
  XkbLayout(KeymapPtr keymap, xkb_layout_index_t group) : keymap_(std::move(keymap)), group_(group) {
    xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap_.get(), XKB_MOD_NAME_SHIFT);
    shiftMask_ = shift == XKB_MOD_INVALID ? 0 : (1u << shift);
  }

  std::u16string translate(std::uint16_t keyCode, bool shifted) const override {
    auto evdev = evdevCodeForKey(keyCode);
    if (!evdev) return {};
    StatePtr state(xkb_state_new(keymap_.get()));
    if (!state) return {};
    xkb_state_update_mask(state.get(), shifted ? shiftMask_ : 0, 0, 0, 0, 0, group_);
    xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), static_cast<xkb_keycode_t>(*evdev + kEvdevToX));
    char32_t cp = xkb_keysym_to_utf32(sym);
    if (cp == 0) return {};
    if (cp < 0x10000) return std::u16string(1, static_cast<char16_t>(cp));
    cp -= 0x10000;
    return {static_cast<char16_t>(0xD800 + (cp >> 10)), static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
  }

 private:
  KeymapPtr keymap_;
  xkb_layout_index_t group_;
  xkb_mod_mask_t shiftMask_ = 0;
};

}  // namespace

struct XkbKeyboardLayoutSource::Impl {
  std::string displayName;
  kit::Logger log;
  std::unique_ptr<xkb_context, ContextUnref> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};
  std::mutex mutex;
  std::function<void()> onChange;
  std::atomic<bool> stopping{false};
  std::thread watcher;

  // Runs on the watcher thread with a connection of its own.
  void watch(Display* display) {
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    while (!stopping) {
      poll(&fd, 1, kWatchPollMilliseconds);
      if (isDisplayLost(display)) {
        log.error("Lost the X display: keyboard layout changes are no longer followed");
        return;
      }
      bool changed = false;
      while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        changed = changed || event.type == xkbEventBase;
      }
      if (changed && !stopping) {
        // Called under the lock: once setOnChange returns, the callback it
        // replaced has finished, so its owner may let go of what it reaches.
        std::lock_guard lock(mutex);
        if (onChange) onChange();
      }
    }
  }

  int xkbEventBase = 0;
  std::unique_ptr<Display, DisplayCloser> watchDisplay;
};

XkbKeyboardLayoutSource::XkbKeyboardLayoutSource(std::string displayName, kit::Logger log)
    : impl_(std::make_unique<Impl>()) {
  impl_->displayName = std::move(displayName);
  impl_->log = std::move(log);
}

XkbKeyboardLayoutSource::~XkbKeyboardLayoutSource() {
  impl_->stopping = true;
  if (impl_->watcher.joinable()) impl_->watcher.join();
  impl_->watchDisplay.reset();
}

std::unique_ptr<KeyboardLayout> XkbKeyboardLayoutSource::currentLayout() {
  if (!impl_->context) return nullptr;
  auto xkb = connect(impl_->displayName);
  if (!xkb) return nullptr;
  KeymapPtr keymap(
      xkb_x11_keymap_new_from_device(impl_->context.get(), xkb->connection.get(), xkb->deviceId,
                                     XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return nullptr;
  StatePtr state(xkb_x11_state_new_from_device(keymap.get(), xkb->connection.get(), xkb->deviceId));
  if (!state) return nullptr;
  xkb_layout_index_t group = xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE);
  return std::make_unique<XkbLayout>(std::move(keymap), group);
}

void XkbKeyboardLayoutSource::setOnChange(std::function<void()> onChange) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->onChange = std::move(onChange);
  }
  if (impl_->watcher.joinable()) return;
  const char* name = impl_->displayName.empty() ? nullptr : impl_->displayName.c_str();
  int major = XkbMajorVersion, minor = XkbMinorVersion, error = 0;
  int reason = 0;
  std::unique_ptr<Display, DisplayCloser> display(
      XkbOpenDisplay(name, &impl_->xkbEventBase, &error, &major, &minor, &reason));
  if (!display) {
    impl_->log.error("Cannot watch the keyboard layout: no XKB on the X display");
    return;
  }
  surviveDisplayLoss(display.get());
  // Selected before setOnChange returns, so that no change made after it is missed.
  XkbSelectEvents(display.get(), XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                  XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
  // Group changes only, not every modifier press.
  XkbSelectEventDetails(display.get(), XkbUseCoreKbd, XkbStateNotify, XkbGroupStateMask, XkbGroupStateMask);
  XSync(display.get(), False);
  impl_->watchDisplay = std::move(display);
  impl_->watcher = std::thread([impl = impl_.get()] { impl->watch(impl->watchDisplay.get()); });
}

}  // namespace tillerpad::platform::linux_x11
