#include "platform/gnome/gnome_input.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cmath>

#include "platform/gnome/display_config.h"
#include "platform/linux/gsettings.h"
#include "platform/linux/key_positions.h"

namespace tillerpad::platform::gnome {
namespace {

using namespace std::chrono_literals;

// The layout can change under us (a switch of input source); typing looks
// at it again when its last look is older than this.
constexpr auto kKeymapAge = 2s;
constexpr auto kKeymapWait = 500ms;
constexpr double kDefaultDoubleClickSeconds = 0.4;

int evdevButton(int button) {
  switch (button) {
    case 0: return BTN_LEFT;
    case 1: return BTN_RIGHT;
    default: return BTN_MIDDLE;
  }
}

bool isPress(MouseEventType t) {
  return t == MouseEventType::leftDown || t == MouseEventType::rightDown || t == MouseEventType::otherDown;
}
bool isRelease(MouseEventType t) {
  return t == MouseEventType::leftUp || t == MouseEventType::rightUp || t == MouseEventType::otherUp;
}

std::string utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

GnomeInput::GnomeInput(std::shared_ptr<MutterRemoteDesktop> desktop, Paste paste, kit::Logger log)
    : desktop_(std::move(desktop)), paste_(std::move(paste)), log_(std::move(log)) {}

bool GnomeInput::postMouse(const MouseEvent& event) {
  if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y)) return false;
  std::lock_guard lock(mutex_);
  auto streams = desktop_->inputStreams();
  if (streams.empty()) return false;
  // The stream under the point, else the nearest: Mutter wants coordinates
  // inside a stream.
  const MutterRemoteDesktop::InputStream* best = nullptr;
  double bestDistance = 0;
  for (const auto& s : streams) {
    double dx = std::max({s.area.minX() - event.location.x, 0.0, event.location.x - (s.area.maxX() - 1)});
    double dy = std::max({s.area.minY() - event.location.y, 0.0, event.location.y - (s.area.maxY() - 1)});
    double distance = dx * dx + dy * dy;
    if (!best || distance < bestDistance) {
      best = &s;
      bestDistance = distance;
    }
  }
  double x = std::clamp(event.location.x, best->area.minX(), best->area.maxX() - 1);
  double y = std::clamp(event.location.y, best->area.minY(), best->area.maxY() - 1);
  auto motion = [&] {
    return desktop_->notify("NotifyPointerMotionAbsolute",
                            g_variant_new("(sdd)", best->path.c_str(), x - best->area.x, y - best->area.y));
  };
  // A new session drops its first absolute motion: the first goes twice,
  // the second once Mutter has handled the first.
  if (auto generation = desktop_->generation(); generation != primedGeneration_) {
    primedGeneration_ = generation;
    motion();
    desktop_->flush();
  }
  if (!motion()) return false;
  lastPoint_ = Point{x, y};
  if (isPress(event.type) || isRelease(event.type)) {
    desktop_->notify("NotifyPointerButton", g_variant_new("(ib)", evdevButton(event.button), isPress(event.type)));
  }
  return true;
}

bool GnomeInput::postScroll(const ScrollEvent& event) {
  std::lock_guard lock(mutex_);
  bool ok = true;
  // Whole wheel clicks, as on X11: a change of direction starts afresh.
  // Positive host values scroll up or left; Mutter's positive steps scroll
  // down, and (as seen by GTK clients of Mutter 43) left.
  auto emit = [&](double& acc, std::int32_t pixels, std::uint32_t axis) {
    if (pixels == 0) return;
    if ((acc > 0 && pixels < 0) || (acc < 0 && pixels > 0)) acc = 0;
    acc += pixels;
    auto steps = static_cast<std::int32_t>(acc / wheelStepPixels);
    if (steps == 0) return;
    acc -= steps * wheelStepPixels;
    ok = desktop_->notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, -steps)) && ok;
  };
  emit(wheelY_, event.vertical, 0);
  emit(wheelX_, -event.horizontal, 1);
  return ok;
}

bool GnomeInput::postMediaKey(MediaKey key, bool down) {
  std::lock_guard lock(mutex_);
  return desktop_->notify("NotifyKeyboardKeycode",
                          g_variant_new("(ub)", static_cast<guint32>(linux_x11::evdevCodeForMediaKey(key)), down));
}

bool GnomeInput::postKey(const KeyEvent& event) {
  auto code = linux_x11::evdevCodeForKey(event.keyCode);
  if (!code) return false;
  std::lock_guard lock(mutex_);
  // Modifier flags need no translation: the host presses the modifier keys.
  return desktop_->notify("NotifyKeyboardKeycode", g_variant_new("(ub)", static_cast<guint32>(*code), event.down));
}

const Keysyms& GnomeInput::keysyms() {
  auto now = std::chrono::steady_clock::now();
  if (!keysyms_.empty() && now - keysymsRead_ < kKeymapAge) return keysyms_;
  keysymsRead_ = now;
  if (auto keymap = readCompositorKeymap(kKeymapWait)) {
    auto read = keysymsOfKeymap(*keymap);
    if (!read.empty()) {
      keysyms_ = std::move(read);
      return keysyms_;
    }
  }
  // No Wayland connection: the layout xkbcommon assumes by default.
  if (keysyms_.empty()) keysyms_ = keysymsOfLayout({});
  return keysyms_;
}

bool GnomeInput::postText(const TextEvent& event) {
  // The whole run is typed when its key goes down.
  if (!event.down) return true;
  std::lock_guard lock(mutex_);
  bool typed = false;
  for (const TextRun& run : planText(event.text, keysyms())) {
    if (run.typed) {
      for (std::uint32_t sym : run.keysyms) {
        bool sent = desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", sym, TRUE)) &&
                    desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", sym, FALSE));
        typed = typed || sent;
      }
    } else if (paste_) {
      // What was typed before must be in before the paste lands: the paste
      // waits for Mutter's answer to the last key.
      desktop_->flush();
      typed = paste_(utf8(run.characters), [this] {
                // Control by position, V by keysym: layouts put V in other places.
                desktop_->notify("NotifyKeyboardKeycode", g_variant_new("(ub)", static_cast<guint32>(KEY_LEFTCTRL), TRUE));
                desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", static_cast<guint32>(XKB_KEY_v), TRUE));
                desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", static_cast<guint32>(XKB_KEY_v), FALSE));
                desktop_->notify("NotifyKeyboardKeycode", g_variant_new("(ub)", static_cast<guint32>(KEY_LEFTCTRL), FALSE));
                desktop_->flush();
              }) || typed;
    }
  }
  return typed;
}

std::optional<Point> GnomeInput::cursorLocation() {
  std::lock_guard lock(mutex_);
  return lastPoint_;
}

std::vector<DisplayInfo> GnomeInput::activeDisplays() {
  std::vector<DisplayInfo> out;
  auto state = desktop_->call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                              "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr, nullptr);
  if (auto monitors = parseCurrentState(state.get())) {
    for (const auto& m : *monitors) out.push_back({m.id, m.bounds, m.name, m.isMain});
  }
  if (out.empty()) {
    // DisplayConfig out of reach: what the input streams show.
    for (const auto& s : desktop_->inputStreams()) {
      out.push_back({monitorID(s.path), s.area, "monitor", out.empty()});
    }
  }
  return out;
}

double GnomeInput::doubleClickInterval() {
  auto ms = linux_x11::gsettingsInt("org.gnome.desktop.peripherals.mouse", "double-click");
  if (ms && *ms > 0 && *ms < 5000) return static_cast<double>(*ms) / 1000.0;
  return kDefaultDoubleClickSeconds;
}

}  // namespace tillerpad::platform::gnome
