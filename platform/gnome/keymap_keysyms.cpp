#include "platform/gnome/keymap_keysyms.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <memory>

namespace tillerpad::platform::gnome {
namespace {

struct KeymapReader {
  wl_display* display = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  std::optional<std::string> keymap;
  bool keyboardAsked = false;
  bool failed = false;
};

void onKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
  auto* reader = static_cast<KeymapReader*>(data);
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      // The size counts the terminating zero.
      reader->keymap = std::string(static_cast<const char*>(map), ::strnlen(static_cast<const char*>(map), size));
      ::munmap(map, size);
    }
  }
  if (!reader->keymap) reader->failed = true;
  ::close(fd);
}
void onEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void onLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void onKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void onModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void onRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener kKeyboardListener{onKeymap, onEnter, onLeave, onKey, onModifiers, onRepeat};

void onCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
  auto* reader = static_cast<KeymapReader*>(data);
  if (reader->keyboardAsked) return;
  reader->keyboardAsked = true;
  if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD)) {
    reader->failed = true;
    return;
  }
  reader->keyboard = wl_seat_get_keyboard(seat);
  wl_keyboard_add_listener(reader->keyboard, &kKeyboardListener, reader);
}
void onSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeatListener{onCapabilities, onSeatName};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  auto* reader = static_cast<KeymapReader*>(data);
  if (reader->seat || std::strcmp(interface, wl_seat_interface.name) != 0) return;
  reader->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, std::min<std::uint32_t>(version, 5)));
  wl_seat_add_listener(reader->seat, &kSeatListener, reader);
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

struct KeymapUnref {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};
struct ContextUnref {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
};

Keysyms keysymsOf(xkb_keymap* keymap) {
  Keysyms result;
  if (!keymap) return result;
  xkb_keycode_t min = xkb_keymap_min_keycode(keymap), max = xkb_keymap_max_keycode(keymap);
  for (xkb_keycode_t code = min; code <= max; ++code) {
    if (xkb_keymap_num_layouts_for_key(keymap, code) == 0) continue;
    xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, code, 0);
    for (xkb_level_index_t level = 0; level < levels; ++level) {
      const xkb_keysym_t* syms = nullptr;
      int n = xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms);
      // A key that gives several keysyms at once types no single character.
      if (n == 1) result.insert(syms[0]);
    }
  }
  return result;
}

}  // namespace

std::optional<std::string> readCompositorKeymap(std::chrono::milliseconds limit) {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return std::nullopt;
  KeymapReader reader;
  reader.display = display;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &reader);
  auto deadline = std::chrono::steady_clock::now() + limit;
  // Bounded dispatch: a compositor that stops answering costs `limit`.
  while (!reader.keymap && !reader.failed) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{wl_display_get_fd(display), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      wl_display_cancel_read(display);
      break;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) break;
  }
  auto result = std::move(reader.keymap);
  if (reader.keyboard) wl_keyboard_destroy(reader.keyboard);
  if (reader.seat) wl_seat_destroy(reader.seat);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return result;
}

Keysyms keysymsOfKeymap(const std::string& keymapText) {
  std::unique_ptr<xkb_context, ContextUnref> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  if (!context) return {};
  std::unique_ptr<xkb_keymap, KeymapUnref> keymap(
      xkb_keymap_new_from_string(context.get(), keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  return keysymsOf(keymap.get());
}

Keysyms keysymsOfLayout(const std::string& layout, const std::string& variant) {
  std::unique_ptr<xkb_context, ContextUnref> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  if (!context) return {};
  xkb_rule_names names{};
  names.layout = layout.empty() ? nullptr : layout.c_str();
  names.variant = variant.empty() ? nullptr : variant.c_str();
  std::unique_ptr<xkb_keymap, KeymapUnref> keymap(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  return keysymsOf(keymap.get());
}

std::vector<TextRun> planText(const std::u16string& text, const Keysyms& available) {
  std::vector<TextRun> runs;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) continue;
    xkb_keysym_t sym = xkb_utf32_to_keysym(c);
    bool typed = sym != XKB_KEY_NoSymbol && available.contains(sym);
    if (runs.empty() || runs.back().typed != typed) {
      runs.emplace_back();
      runs.back().typed = typed;
    }
    if (typed) {
      runs.back().keysyms.push_back(sym);
    } else {
      runs.back().characters.push_back(c);
    }
  }
  return runs;
}

}  // namespace tillerpad::platform::gnome
