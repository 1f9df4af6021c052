#include "platform/wlroots/wlr_input.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/linux/gsettings.h"
#include "platform/linux/key_positions.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;
using linux_x11::evdevCodeForKey;
using linux_x11::kEvdevToX;

constexpr double kDefaultDoubleClickSeconds = 0.4;
constexpr std::chrono::milliseconds kLimit{2000};
// The keymaps we uploaded lately: the seat's wl_keyboard echoes them back.
constexpr std::size_t kRememberedUploads = 8;

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

std::uint32_t timestamp() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
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

std::string keymapText(xkb_keymap* keymap) {
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  std::string out = text ? text : "";
  free(text);
  return out;
}

std::uint32_t evdevButton(int button) {
  switch (button) {
    case 0: return BTN_LEFT;
    case 1: return BTN_RIGHT;
    case 3: return BTN_SIDE;
    case 4: return BTN_EXTRA;
    default: return BTN_MIDDLE;
  }
}

bool isPress(MouseEventType t) {
  return t == MouseEventType::leftDown || t == MouseEventType::rightDown || t == MouseEventType::otherDown;
}
bool isRelease(MouseEventType t) {
  return t == MouseEventType::leftUp || t == MouseEventType::rightUp || t == MouseEventType::otherUp;
}

class XkbLayout : public KeyboardLayout {
 public:
  explicit XkbLayout(KeymapPtr keymap) : keymap_(std::move(keymap)) {
    xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap_.get(), XKB_MOD_NAME_SHIFT);
    shiftMask_ = shift == XKB_MOD_INVALID ? 0 : (1u << shift);
  }
  std::u16string translate(std::uint16_t keyCode, bool shifted) const override {
    auto evdev = evdevCodeForKey(keyCode);
    if (!evdev) return {};
    StatePtr state(xkb_state_new(keymap_.get()));
    if (!state) return {};
    xkb_state_update_mask(state.get(), shifted ? shiftMask_ : 0, 0, 0, 0, 0, 0);
    char32_t cp = xkb_keysym_to_utf32(xkb_state_key_get_one_sym(state.get(), *evdev + kEvdevToX));
    if (cp == 0) return {};
    if (cp < 0x10000) return std::u16string(1, static_cast<char16_t>(cp));
    cp -= 0x10000;
    return {static_cast<char16_t>(0xD800 + (cp >> 10)), static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
  }

 private:
  KeymapPtr keymap_;
  xkb_mod_mask_t shiftMask_ = 0;
};

}  // namespace

struct WlrInput::Impl {
  std::shared_ptr<WaylandConnection> connection;
  kit::Logger log;
  std::unique_ptr<xkb_context, ContextUnref> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};
  std::unique_ptr<xkb_context, ContextUnref> echoContext{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};

  // Used on the connection's thread only.
  zwlr_virtual_pointer_v1* pointer = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  wl_keyboard* seatKeyboard = nullptr;

  // The caller's side (one thread at a time, as the interface says).
  std::mutex mutex;
  std::optional<Point> lastPointer;
  double wheelX = 0, wheelY = 0;
  KeymapPtr base;      // the layout
  KeymapPtr full;      // the layout plus our spare bindings, as uploaded
  StatePtr state;      // our keyboard's state under `full`
  bool uploadNeeded = true;
  struct Spare {
    xkb_keycode_t code = 0;
    xkb_keysym_t sym = XKB_KEY_NoSymbol;  // bound by us, if anything
    Clock::time_point lastUse{};
  };
  std::vector<Spare> spares;
  struct Tap {
    xkb_keycode_t code = 0;
    bool shift = false;
  };
  std::map<xkb_keysym_t, Tap> reachable;  // keysyms of `full` at level 1, or with shift
  std::set<xkb_keycode_t> held;

  // Keymaps the seat announced (connection thread) for the caller's side.
  std::mutex keymapMutex;
  std::optional<std::string> foreignKeymap;
  std::deque<std::string> uploads;
  std::mutex callbackMutex;
  std::function<void()> onChange;

  ~Impl() {
    connection->setOnSeatCapabilities(nullptr);
    connection->finalCall([this] {
      if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
      if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
      if (seatKeyboard) wl_keyboard_destroy(seatKeyboard);
      wl_display_flush(connection->display());
    }, kLimit);
  }

  // ---- the keymap ----

  KeymapPtr compile(const std::string& text, xkb_context* in = nullptr) const {
    return KeymapPtr(xkb_keymap_new_from_string(in ? in : context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS));
  }

  // A keymap as the compositor will write it back: compiled and printed.
  // On the connection's thread, in a context of its own: a context's atom
  // table is not safe to share between threads.
  std::string normalised(const std::string& text) const {
    auto keymap = compile(text, echoContext.get());
    return keymap ? keymapText(keymap.get()) : std::string();
  }

  void setBase(KeymapPtr keymap) {
    base = std::move(keymap);
    spares.clear();
    // Named codes the X range can carry (Xwayland clients see them too) and
    // the layout leaves without symbols.
    xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(base.get()), 255);
    for (xkb_keycode_t code = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(base.get()), 8); code <= last; ++code) {
      if (xkb_keymap_key_get_name(base.get(), code) && xkb_keymap_num_layouts_for_key(base.get(), code) == 0) {
        spares.push_back({code});
      }
    }
    uploadNeeded = true;
  }

  // The base keymap's text with `key <NAME> { [ sym ] };` for each binding.
  std::string fullText() const {
    std::string text = keymapText(base.get());
    std::string lines;
    for (const Spare& spare : spares) {
      if (spare.sym == XKB_KEY_NoSymbol) continue;
      char name[64];
      if (xkb_keysym_get_name(spare.sym, name, sizeof name) <= 0) continue;
      lines += std::string("\tkey <") + xkb_keymap_key_get_name(base.get(), spare.code) + "> { [ " + name + " ] };\n";
    }
    auto section = text.find("xkb_symbols");
    auto end = section == std::string::npos ? std::string::npos : text.find("\n};", section);
    if (end == std::string::npos) return text;
    return text.insert(end + 1, lines);
  }

  void indexReachable() {
    reachable.clear();
    xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(full.get(), XKB_MOD_NAME_SHIFT);
    xkb_mod_mask_t shiftMask = shiftIndex == XKB_MOD_INVALID ? 0 : (1u << shiftIndex);
    for (xkb_keycode_t code = xkb_keymap_min_keycode(full.get()); code <= xkb_keymap_max_keycode(full.get()); ++code) {
      if (xkb_keymap_num_layouts_for_key(full.get(), code) == 0) continue;
      xkb_level_index_t levels = xkb_keymap_num_levels_for_key(full.get(), code, 0);
      for (xkb_level_index_t level = 0; level < levels && level < 2; ++level) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(full.get(), code, 0, level, &syms) != 1) continue;
        xkb_mod_mask_t masks[8];
        std::size_t n = xkb_keymap_key_get_mods_for_level(full.get(), code, 0, level, masks, 8);
        bool plain = std::find(masks, masks + n, 0u) != masks + n;
        bool shifted = shiftMask && std::find(masks, masks + n, shiftMask) != masks + n;
        if (!plain && !shifted) continue;
        auto [it, added] = reachable.try_emplace(syms[0], Tap{code, !plain});
        if (!added && it->second.shift && plain) it->second = {code, false};
      }
    }
  }

  // Picks up a layout the seat announced since the last call.
  void adoptForeignKeymap() {
    std::optional<std::string> text;
    {
      std::lock_guard lock(keymapMutex);
      text.swap(foreignKeymap);
    }
    if (!text) return;
    if (auto keymap = compile(*text)) setBase(std::move(keymap));
  }

  // Uploads `full` when it changed: the device's keymap, then a round trip
  // and the settle, because the compositor drops keys sent right after.
  bool upload() {
    adoptForeignKeymap();
    if (!uploadNeeded) return true;
    std::string text = fullText();
    auto keymap = compile(text);
    if (!keymap) {
      log.error("The keymap with spare keys does not compile; typing with the plain layout");
      for (Spare& spare : spares) spare.sym = XKB_KEY_NoSymbol;
      keymap = compile(text = keymapText(base.get()));
      if (!keymap) return false;
    }
    text = keymapText(keymap.get());
    {
      std::lock_guard lock(keymapMutex);
      uploads.push_back(text);
      if (uploads.size() > kRememberedUploads) uploads.pop_front();
    }
    int fd = memfd_create("tillerpad-keymap", MFD_CLOEXEC);
    if (fd < 0) return false;
    bool written = write(fd, text.c_str(), text.size() + 1) == static_cast<ssize_t>(text.size() + 1);
    auto size = static_cast<std::uint32_t>(text.size() + 1);
    // The request duplicates the descriptor; ours closes after the call.
    auto sent = written ? connection->call([this, fd, size] {
      zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
    }, kLimit)
                        : std::nullopt;
    close(fd);
    if (!sent || !connection->roundtrip(kLimit)) return false;
    std::this_thread::sleep_for(settle);
    full = std::move(keymap);
    state.reset(xkb_state_new(full.get()));
    for (xkb_keycode_t code : held) xkb_state_update_key(state.get(), code, XKB_KEY_DOWN);
    indexReachable();
    uploadNeeded = false;
    return true;
  }

  // A spare code for `sym`: a free one, else the least recently used one
  // not in `busy` (codes already queued in this batch).
  std::optional<xkb_keycode_t> bindSpare(xkb_keysym_t sym, const std::set<xkb_keycode_t>& busy) {
    Spare* chosen = nullptr;
    for (Spare& spare : spares) {
      if (busy.contains(spare.code)) continue;
      if (spare.sym == XKB_KEY_NoSymbol) {
        chosen = &spare;
        break;
      }
      if (!chosen || spare.lastUse < chosen->lastUse) chosen = &spare;
    }
    if (!chosen) return std::nullopt;
    // Codes in `busy` are never taken, so nothing queued loses its character.
    if (auto it = reachable.find(chosen->sym); it != reachable.end() && it->second.code == chosen->code) {
      reachable.erase(it);
    }
    chosen->sym = sym;
    chosen->lastUse = Clock::now();
    uploadNeeded = true;
    return chosen->code;
  }

  void touch(xkb_keycode_t code) {
    for (Spare& spare : spares) {
      if (spare.code == code) spare.lastUse = Clock::now();
    }
  }

  // ---- sending (requests go out on the connection's thread) ----

  // The key, then the modifiers it changed, as a physical keyboard would.
  bool key(xkb_keycode_t code, bool down) {
    if (down) {
      held.insert(code);
    } else {
      held.erase(code);
    }
    auto changed = xkb_state_update_key(state.get(), code, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    bool mods = changed & (XKB_STATE_MODS_EFFECTIVE | XKB_STATE_LAYOUT_EFFECTIVE);
    auto depressed = xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED);
    auto latched = xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LATCHED);
    auto locked = xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LOCKED);
    auto group = xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE);
    std::uint32_t time = timestamp();
    return connection->post([this, code, down, mods, depressed, latched, locked, group, time] {
      zwp_virtual_keyboard_v1_key(keyboard, time, code - kEvdevToX,
                                  down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
      if (mods) zwp_virtual_keyboard_v1_modifiers(keyboard, depressed, latched, locked, group);
    });
  }

  bool tap(const Tap& t) {
    constexpr xkb_keycode_t leftShift = KEY_LEFTSHIFT + kEvdevToX;
    bool shift = t.shift && !held.contains(leftShift) && !held.contains(KEY_RIGHTSHIFT + kEvdevToX);
    bool ok = true;
    if (shift) ok = key(leftShift, true) && ok;
    ok = key(t.code, true) && ok;
    ok = key(t.code, false) && ok;
    if (shift) ok = key(leftShift, false) && ok;
    return ok;
  }

  // ---- the seat's keyboard: what layout the compositor uses ----

  static void onKeymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    auto* impl = static_cast<Impl*>(data);
    std::string text;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
      void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        text.assign(static_cast<const char*>(map), strnlen(static_cast<const char*>(map), size));
        munmap(map, size);
      }
    }
    close(fd);
    if (text.empty()) return;
    std::string normal = impl->normalised(text);
    {
      std::lock_guard lock(impl->keymapMutex);
      // Our own device's keymap, echoed while it is the seat's active keyboard.
      if (normal.empty() || std::find(impl->uploads.begin(), impl->uploads.end(), normal) != impl->uploads.end()) return;
      impl->foreignKeymap = normal;
    }
    std::lock_guard lock(impl->callbackMutex);
    if (impl->onChange) impl->onChange();
  }
  static void onEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void onLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void onKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
  static void onModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t) {}
  static void onRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
  static constexpr wl_keyboard_listener keyboardListener{&onKeymap, &onEnter, &onLeave, &onKey, &onModifiers, &onRepeat};

  // Connection thread: the seat gained a keyboard (ours, or a real one).
  void watchSeatKeyboard(std::uint32_t capabilities) {
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !seatKeyboard) {
      seatKeyboard = wl_seat_get_keyboard(connection->seat());
      wl_keyboard_add_listener(seatKeyboard, &keyboardListener, this);
    }
  }
};

std::unique_ptr<WlrInput> WlrInput::open(std::shared_ptr<WaylandConnection> connection, kit::Logger log) {
  auto* pointers = connection->global<zwlr_virtual_pointer_manager_v1>(&zwlr_virtual_pointer_manager_v1_interface);
  auto* keyboards = connection->global<zwp_virtual_keyboard_manager_v1>(&zwp_virtual_keyboard_manager_v1_interface);
  wl_seat* seat = connection->seat();
  if (!pointers || !keyboards || !seat) {
    log.error(std::string("The compositor offers no ") +
              (!pointers ? "virtual pointer" : !keyboards ? "virtual keyboard" : "seat") + ": no input on Wayland");
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->connection = connection;
  impl->log = std::move(log);
  if (!impl->context || !impl->echoContext) return nullptr;
  std::uint32_t pointerVersion = connection->globalVersion(&zwlr_virtual_pointer_manager_v1_interface);
  Impl* raw = impl.get();
  auto made = connection->call([raw, pointers, keyboards, seat, pointerVersion] {
    raw->watchSeatKeyboard(raw->connection->seatCapabilities());
    raw->connection->setOnSeatCapabilities([raw](std::uint32_t capabilities) { raw->watchSeatKeyboard(capabilities); });
    raw->pointer = pointerVersion >= 2
                       ? zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(pointers, seat, nullptr)
                       : zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
    raw->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
  });
  // The seat keyboard's keymap, if the seat has a keyboard.
  if (!made || !connection->roundtrip(kLimit)) {
    impl->log.error("The compositor did not make the virtual pointer and keyboard");
    return nullptr;
  }
  std::string source = "the compositor's keymap";
  impl->adoptForeignKeymap();
  if (!impl->base) {
    // Null names: xkbcommon takes XKB_DEFAULT_RULES/MODEL/LAYOUT/VARIANT/OPTIONS, else us.
    KeymapPtr keymap(xkb_keymap_new_from_names(impl->context.get(), nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
      impl->log.error("No keymap for the virtual keyboard");
      return nullptr;
    }
    impl->setBase(std::move(keymap));
    source = "XKB_DEFAULT_* or us";
  }
  if (!impl->upload()) {
    impl->log.error("The virtual keyboard's keymap was not taken");
    return nullptr;
  }
  impl->log.info("Wayland input: virtual pointer and keyboard (layout from " + source + ", " +
                 std::to_string(impl->spares.size()) + " spare keys)");
  return std::unique_ptr<WlrInput>(new WlrInput(std::move(impl)));
}

WlrInput::WlrInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WlrInput::~WlrInput() {
  std::lock_guard lock(impl_->mutex);
  // Nothing stays pressed on the seat after we are gone.
  for (xkb_keycode_t code : std::set<xkb_keycode_t>(impl_->held)) impl_->key(code, false);
}

bool WlrInput::postMouse(const MouseEvent& event) {
  if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y)) return false;
  Rect box = layoutBounds(impl_->connection->outputs());
  if (box.isEmpty()) return false;
  std::lock_guard lock(impl_->mutex);
  // The last pixel of the layout is the furthest the pointer goes.
  double x = std::clamp(event.location.x, box.minX(), box.maxX() - 1);
  double y = std::clamp(event.location.y, box.minY(), box.maxY() - 1);
  impl_->lastPointer = Point{std::round(x), std::round(y)};
  auto ux = static_cast<std::uint32_t>(std::lround(x - box.x));
  auto uy = static_cast<std::uint32_t>(std::lround(y - box.y));
  auto width = static_cast<std::uint32_t>(box.width), height = static_cast<std::uint32_t>(box.height);
  bool press = isPress(event.type), release = isRelease(event.type);
  std::uint32_t button = evdevButton(event.button);
  std::uint32_t time = timestamp();
  Impl* impl = impl_.get();
  return impl_->connection->post([impl, ux, uy, width, height, press, release, button, time] {
    zwlr_virtual_pointer_v1_motion_absolute(impl->pointer, time, ux, uy, width, height);
    zwlr_virtual_pointer_v1_frame(impl->pointer);
    if (press || release) {
      zwlr_virtual_pointer_v1_button(impl->pointer, time, button,
                                     press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
      zwlr_virtual_pointer_v1_frame(impl->pointer);
    }
  });
}

bool WlrInput::postScroll(const ScrollEvent& event) {
  std::lock_guard lock(impl_->mutex);
  // Whole wheel clicks from the host's pixels, a change of direction
  // starting afresh, as on X11. Host: positive scrolls up or left; Wayland:
  // positive goes down or right.
  auto clicks = [](double& acc, std::int32_t pixels) {
    if (pixels == 0) return 0;
    if ((acc > 0 && pixels < 0) || (acc < 0 && pixels > 0)) acc = 0;
    acc += pixels;
    auto n = static_cast<int>(acc / wheelStepPixels);
    acc -= n * wheelStepPixels;
    return -n;
  };
  int vertical = clicks(impl_->wheelY, event.vertical);
  int horizontal = clicks(impl_->wheelX, event.horizontal);
  if (vertical == 0 && horizontal == 0) return true;
  std::uint32_t time = timestamp();
  Impl* impl = impl_.get();
  return impl_->connection->post([impl, vertical, horizontal, time] {
    // One frame per click: a client counts discrete steps per frame.
    auto turn = [&](std::uint32_t axis, int steps) {
      for (int i = 0; i < std::abs(steps); ++i) {
        int step = steps > 0 ? 1 : -1;
        zwlr_virtual_pointer_v1_axis_source(impl->pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
        zwlr_virtual_pointer_v1_axis_discrete(impl->pointer, time, axis, wl_fixed_from_int(15 * step), step);
        zwlr_virtual_pointer_v1_frame(impl->pointer);
      }
    };
    turn(WL_POINTER_AXIS_VERTICAL_SCROLL, vertical);
    turn(WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontal);
  });
}

bool WlrInput::postKey(const KeyEvent& event) {
  auto evdev = evdevCodeForKey(event.keyCode);
  if (!evdev) return false;
  std::lock_guard lock(impl_->mutex);
  if (!impl_->upload()) return false;
  // The flags need no translation: the host presses the modifier keys itself.
  return impl_->key(*evdev + kEvdevToX, event.down);
}

bool WlrInput::postText(const TextEvent& event) {
  // The whole run is typed when its key goes down.
  if (!event.down) return true;
  std::lock_guard lock(impl_->mutex);
  if (!impl_->upload()) return false;
  std::vector<Impl::Tap> batch;
  std::set<xkb_keycode_t> busy;
  bool typed = false;
  // Types what is queued, after uploading the bindings it needs.
  auto flush = [&] {
    if (batch.empty()) return true;
    if (!impl_->upload()) return false;
    for (const auto& t : batch) typed = impl_->tap(t) || typed;
    batch.clear();
    busy.clear();
    return true;
  };
  for (char32_t cp : codePoints(event.text)) {
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) continue;
    xkb_keysym_t sym = xkb_utf32_to_keysym(cp);
    if (sym == XKB_KEY_NoSymbol) continue;
    std::optional<Impl::Tap> t;
    if (auto it = impl_->reachable.find(sym); it != impl_->reachable.end()) t = it->second;
    if (!t) {
      auto code = impl_->bindSpare(sym, busy);
      if (!code) {
        if (!flush()) return typed;
        code = impl_->bindSpare(sym, busy);
        if (!code) continue;  // no spare codes at all
      }
      impl_->reachable[sym] = {*code, false};
      t = Impl::Tap{*code, false};
    }
    impl_->touch(t->code);
    busy.insert(t->code);
    batch.push_back(*t);
  }
  flush();
  return typed;
}

std::optional<Point> WlrInput::cursorLocation() {
  std::lock_guard lock(impl_->mutex);
  return impl_->lastPointer;
}

std::vector<DisplayInfo> WlrInput::activeDisplays() { return displaysFromOutputs(impl_->connection->outputs()); }

double WlrInput::doubleClickInterval() {
  auto ms = linux_x11::gsettingsInt("org.gnome.desktop.peripherals.mouse", "double-click");
  if (ms && *ms > 0 && *ms < 5000) return static_cast<double>(*ms) / 1000.0;
  return kDefaultDoubleClickSeconds;
}

std::unique_ptr<KeyboardLayout> WlrInput::currentLayout() {
  std::lock_guard lock(impl_->mutex);
  impl_->adoptForeignKeymap();
  if (!impl_->base) return nullptr;
  return std::make_unique<XkbLayout>(KeymapPtr(xkb_keymap_ref(impl_->base.get())));
}

void WlrInput::setOnChange(std::function<void()> onChange) {
  std::lock_guard lock(impl_->callbackMutex);
  impl_->onChange = std::move(onChange);
}

bool WlrInput::postMediaKey(MediaKey key, bool down) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->upload()) return false;
  return impl_->key(linux_x11::evdevCodeForMediaKey(key) + kEvdevToX, down);
}

std::size_t WlrInput::spareKeyCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->spares.size();
}

}  // namespace tillerpad::platform::wlroots
