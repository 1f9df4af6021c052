#include "host/input/input_injector.h"

#include <unicode/ubrk.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "kit/input/click_counter.h"
#include "kit/input/pointer_acceleration.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"

namespace tillerpad::host {

using kit::Modifiers;
using kit::MouseButton;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::Point;
using platform::Rect;

namespace {

constexpr double kMaxClickDistance = 6.0;
constexpr double kTrustOwnPointerSeconds = 0.5;
constexpr double kDisplayCacheSeconds = 1.0;
constexpr double kScrollPixelsPerStep = 1.6;
// Raw steps beyond this are not finger motion; they are dropped rather than
// fed to the integer delta fields.
constexpr double kMaxPointerStep = 100000;
// The delta fields are integers; a larger accelerated step is reported as this.
constexpr double kMaxDeltaField = 1e9;
constexpr std::size_t kMaxTextRun = 20;
constexpr std::uint16_t kReturnKey = 36;
constexpr std::uint16_t kTabKey = 48;

constexpr std::uint64_t kFlagShift = 0x20000;
constexpr std::uint64_t kFlagControl = 0x40000;
constexpr std::uint64_t kFlagAlternate = 0x80000;
constexpr std::uint64_t kFlagCommand = 0x100000;
constexpr std::uint64_t kFlagSecondaryFn = 0x800000;
constexpr std::uint64_t kFlagNumericPad = 0x200000;

struct ModifierRow {
  std::int64_t bit;
  std::optional<std::uint16_t> keyCode;
  std::uint64_t flag;
};

// Pressed in this order and released in reverse.
constexpr std::array<ModifierRow, 5> kModifierRows{{
    {Modifiers::controlBit, 59, kFlagControl},
    {Modifiers::optionBit, 58, kFlagAlternate},
    {Modifiers::shiftBit, 56, kFlagShift},
    {Modifiers::commandBit, 55, kFlagCommand},
    {Modifiers::functionBit, std::nullopt, kFlagSecondaryFn},
}};

const std::unordered_map<std::string_view, std::uint16_t>& namedKeys() {
  static const std::unordered_map<std::string_view, std::uint16_t> table{
      {"return", 36},     {"tab", 48},        {"space", 49},    {"delete", 51},    {"forwardDelete", 117},
      {"escape", 53},     {"leftArrow", 123}, {"rightArrow", 124}, {"upArrow", 126}, {"downArrow", 125},
      {"home", 115},      {"end", 119},       {"pageUp", 116},  {"pageDown", 121}, {"f1", 122},
      {"f2", 120},        {"f3", 99},         {"f4", 118},      {"f5", 96},        {"f6", 97},
      {"f7", 98},         {"f8", 100},        {"f9", 101},      {"f10", 109},      {"f11", 103},
      {"f12", 111},
  };
  return table;
}

MouseEventType downType(MouseButton b) {
  switch (b) {
    case MouseButton::left: return MouseEventType::leftDown;
    case MouseButton::right: return MouseEventType::rightDown;
    case MouseButton::middle: return MouseEventType::otherDown;
  }
  return MouseEventType::otherDown;
}

MouseEventType upType(MouseButton b) {
  switch (b) {
    case MouseButton::left: return MouseEventType::leftUp;
    case MouseButton::right: return MouseEventType::rightUp;
    case MouseButton::middle: return MouseEventType::otherUp;
  }
  return MouseEventType::otherUp;
}

int buttonNumber(MouseButton b) { return static_cast<int>(b); }

struct BreakIteratorCloser {
  void operator()(UBreakIterator* it) const { ubrk_close(it); }
};

// The text as UTF-16 (ill-formed UTF-8 becomes U+FFFD).
std::u16string toUtf16(std::string_view text) {
  std::u16string out(text.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// The extended grapheme clusters of `text`, in order.
std::vector<std::u16string> graphemes(const std::u16string& text) {
  std::vector<std::u16string> out;
  if (text.empty()) return out;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> it(
      ubrk_open(UBRK_CHARACTER, "", text.data(), static_cast<int32_t>(text.size()), &status));
  if (U_FAILURE(status)) {
    out.push_back(text);
    return out;
  }
  int32_t start = ubrk_first(it.get());
  for (int32_t end = ubrk_next(it.get()); end != UBRK_DONE; start = end, end = ubrk_next(it.get())) {
    out.push_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
  }
  return out;
}

}  // namespace

UptimeClock systemUptime() {
  return [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  };
}

struct InputInjector::State {
  platform::InputEventSink& events;
  platform::DisplayQuery& displayQuery;
  kit::Logger log;
  UptimeClock now;

  kit::InputSettings settings = kit::InputSettings::defaults();
  kit::PointerAcceleration acceleration{kit::InputSettings::defaults()};
  kit::ClickCounter clicks;
  std::set<MouseButton> pressedButtons;
  std::map<MouseButton, std::int64_t> clickStates;
  std::optional<Point> pointer;
  double pointerTime = 0;
  double scrollRemainderX = 0;
  double scrollRemainderY = 0;
  KeyboardLayoutMap layout;
  std::vector<Rect> displays;
  double displaysTime = -std::numeric_limits<double>::infinity();

  State(platform::InputEventSink& e, platform::DisplayQuery& d, double interval, kit::Logger l, UptimeClock n)
      : events(e), displayQuery(d), log(std::move(l)), now(std::move(n)), clicks(interval, kMaxClickDistance) {}

  Point currentLocation() {
    if (pointer && now() - pointerTime < kTrustOwnPointerSeconds) return *pointer;
    return events.cursorLocation().value_or(Point{0, 0});
  }

  const std::vector<Rect>& displayRects() {
    double t = now();
    if (t - displaysTime > kDisplayCacheSeconds) {
      displays.clear();
      for (const auto& d : displayQuery.activeDisplays()) displays.push_back(d.bounds);
      displaysTime = t;
    }
    return displays;
  }

  Point clampToDisplays(Point target, Point from) {
    const auto& rects = displayRects();
    if (rects.empty()) return target;
    for (const auto& r : rects) {
      if (r.contains(target)) return target;
    }
    const Rect* home = &rects.front();
    for (const auto& r : rects) {
      if (r.contains(from)) {
        home = &r;
        break;
      }
    }
    return {std::min(std::max(target.x, home->minX()), home->maxX() - 1),
            std::min(std::max(target.y, home->minY()), home->maxY() - 1)};
  }

  void movePointer(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) > kMaxPointerStep ||
        std::abs(dy) > kMaxPointerStep) {
      return;
    }
    auto [ax, ay] = acceleration.apply(dx, dy, now());
    // Settings are not range-checked on the wire: an absurd speed can make
    // the step infinite, and there is no sensible place to put the pointer.
    if (!std::isfinite(ax) || !std::isfinite(ay)) return;
    Point cur = currentLocation();
    Point target = clampToDisplays({cur.x + ax, cur.y + ay}, cur);

    auto delta = [](double d) { return std::llround(std::clamp(d, -kMaxDeltaField, kMaxDeltaField)); };
    MouseEvent event{MouseEventType::moved, 0, target, 0, delta(ax), delta(ay)};
    if (pressedButtons.count(MouseButton::left)) {
      event.type = MouseEventType::leftDragged;
    } else if (pressedButtons.count(MouseButton::right)) {
      event.type = MouseEventType::rightDragged;
      event.button = 1;
    } else if (pressedButtons.count(MouseButton::middle)) {
      event.type = MouseEventType::otherDragged;
      event.button = 2;
    }
    if (!events.postMouse(event)) return;
    pointer = target;
    pointerTime = now();
  }

  void scroll(double dx, double dy) {
    double f = kScrollPixelsPerStep * settings.scrollSpeed * (settings.naturalScrolling ? 1 : -1);
    double rx = scrollRemainderX + dx * f;
    double ry = scrollRemainderY + dy * f;
    // Only amounts that fit the wheel fields are truncated; anything else
    // (non-finite, absurdly large) is dropped and the remainder kept.
    constexpr double kLimit = 2147483647.0;
    if (!std::isfinite(rx) || !std::isfinite(ry) || std::abs(rx) >= kLimit || std::abs(ry) >= kLimit) return;
    auto ix = static_cast<std::int32_t>(rx);
    auto iy = static_cast<std::int32_t>(ry);
    scrollRemainderX = rx - ix;
    scrollRemainderY = ry - iy;
    if (ix == 0 && iy == 0) return;
    events.postScroll({iy, ix});
  }

  void handleButton(kit::MouseButtonEvent event) {
    MouseButton b = event.button;
    switch (event.action) {
      case kit::MouseButtonEvent::Action::down: {
        if (pressedButtons.count(b)) return;
        Point at = currentLocation();
        std::int64_t count = clicks.registerPress(b, now(), at.x, at.y);
        clickStates[b] = count;
        pressedButtons.insert(b);
        events.postMouse({downType(b), buttonNumber(b), at, count, 0, 0});
        return;
      }
      case kit::MouseButtonEvent::Action::up: {
        if (pressedButtons.erase(b) == 0) return;
        auto it = clickStates.find(b);
        std::int64_t count = it == clickStates.end() ? 1 : it->second;
        events.postMouse({upType(b), buttonNumber(b), currentLocation(), count, 0, 0});
        return;
      }
      case kit::MouseButtonEvent::Action::click: {
        Point at = currentLocation();
        std::int64_t count = clicks.registerPress(b, now(), at.x, at.y);
        events.postMouse({downType(b), buttonNumber(b), at, count, 0, 0});
        events.postMouse({upType(b), buttonNumber(b), at, count, 0, 0});
        return;
      }
    }
  }

  void clickAt(std::uint32_t displayID, double x, double y, MouseButton button) {
    std::optional<Rect> bounds;
    for (const auto& d : displayQuery.activeDisplays()) {
      if (d.id == displayID) bounds = d.bounds;
    }
    if (!bounds || bounds->isEmpty() || !std::isfinite(x) || !std::isfinite(y)) return;
    auto clampFraction = [](double v) { return v <= 0 ? 0.0 : (v > 0.999 ? 0.999 : v); };
    Point p{bounds->minX() + clampFraction(x) * bounds->width, bounds->minY() + clampFraction(y) * bounds->height};
    if (!events.postMouse({MouseEventType::moved, 0, p, 0, 0, 0})) return;
    pointer = p;
    pointerTime = now();
    handleButton({button, kit::MouseButtonEvent::Action::click});
  }

  void pressKey(const kit::Key& key, Modifiers modifiers) {
    if (auto code = namedKeyCode(key.rawValue)) {
      pressKeyCode(*code, modifiers);
      return;
    }
    auto character = key.character();
    if (!character) {
      log.notice("Ignoring unknown key " + key.rawValue);
      return;
    }
    auto entry = layout.entry(*character);
    if (!entry) {
      typeUnicode(toUtf16(*character));  // the modifiers do not apply to text
      return;
    }
    if (entry->needsShift) modifiers |= Modifiers::shift();
    pressKeyCode(entry->keyCode, modifiers);
  }

  void pressKeyCode(std::uint16_t code, Modifiers modifiers) {
    std::uint64_t all = 0;
    for (const auto& row : kModifierRows) {
      if (modifiers.contains({row.bit})) all |= row.flag;
    }
    std::uint64_t held = 0;
    for (const auto& row : kModifierRows) {
      if (!modifiers.contains({row.bit})) continue;
      held |= row.flag;
      if (row.keyCode) events.postKey({*row.keyCode, true, held | keySpecificFlags(*row.keyCode)});
    }
    std::uint64_t flags = all | keySpecificFlags(code);
    events.postKey({code, true, flags});
    events.postKey({code, false, flags});
    for (auto row = kModifierRows.rbegin(); row != kModifierRows.rend(); ++row) {
      if (!modifiers.contains({row->bit})) continue;
      held &= ~row->flag;
      if (row->keyCode) events.postKey({*row->keyCode, false, held | keySpecificFlags(*row->keyCode)});
    }
  }

  void typeText(const std::string& text) {
    for (const auto& g : graphemes(toUtf16(text))) {
      if (g == u"\n" || g == u"\r" || g == u"\r\n") {
        pressKeyCode(kReturnKey, Modifiers::none());
      } else if (g == u"\t") {
        pressKeyCode(kTabKey, Modifiers::none());
      } else {
        typeUnicode(g);
      }
    }
  }

  void typeUnicode(const std::u16string& units) {
    for (std::size_t start = 0; start < units.size(); start += kMaxTextRun) {
      std::u16string run = units.substr(start, kMaxTextRun);
      events.postText({true, run});
      events.postText({false, std::move(run)});
    }
  }

  void releaseAll() {
    if (!pressedButtons.empty()) {
      Point at = currentLocation();
      for (MouseButton b : pressedButtons) events.postMouse({upType(b), buttonNumber(b), at, 1, 0, 0});
    }
    pressedButtons.clear();
    pointer.reset();
  }
};

InputInjector::InputInjector(platform::InputEventSink& events, platform::DisplayQuery& displays,
                             double doubleClickInterval, kit::Logger log, UptimeClock now)
    : state_(std::make_unique<State>(events, displays, doubleClickInterval, log, std::move(now))),
      queue_(queueLabel, queueCapacity, log) {}

InputInjector::~InputInjector() = default;

// Everything that arrived while the queue was long, summed. Moves are
// accelerated as one step then, which only matters while input arrives faster
// than the desktop takes it.
struct InputInjector::PendingFast {
  double moveX = 0, moveY = 0, scrollX = 0, scrollY = 0;
  bool hasMove = false, hasScroll = false;
};

namespace {
// Keys of essential work: one per button release, and the release of all.
// Summed fast events are essential too but never left out (their pending
// sum is the bound).
constexpr int kReleaseAllKey = 3;
constexpr int kFastEventsKey = -1;
}  // namespace

// The pending sum is closed whenever other work is queued, so that fast
// events never overtake work that came before them. The lock is held across
// the post for the same reason.
void InputInjector::postOrdered(std::function<void()> task) {
  std::lock_guard lock(pendingMutex_);
  if (queue_.post(std::move(task))) pendingFast_.reset();
}

void InputInjector::postEssential(int key, std::function<void()> task) {
  std::lock_guard lock(pendingMutex_);
  if (queue_.postEssential(key, std::move(task))) pendingFast_.reset();
}

void InputInjector::post(std::function<void()> task) { postOrdered(std::move(task)); }

bool InputInjector::waitIdle(std::chrono::milliseconds limit) { return queue_.waitIdle(limit); }

void InputInjector::updateLayout(KeyboardLayoutMap map) {
  postOrdered([s = state_.get(), map = std::move(map)]() mutable { s->layout = std::move(map); });
}

void InputInjector::applyFastEvents(std::vector<kit::FastEvent> events) {
  if (queue_.size() < coalesceAbove) {
    postOrdered([s = state_.get(), events = std::move(events)] {
      for (const auto& e : events) {
        if (e.kind == kit::FastEvent::Kind::pointerMove) {
          s->movePointer(e.dx, e.dy);
        } else if (e.kind == kit::FastEvent::Kind::scroll) {
          s->scroll(e.dx, e.dy);
        }
      }
    });
    return;
  }
  std::lock_guard lock(pendingMutex_);
  std::shared_ptr<PendingFast> fresh;
  if (!pendingFast_) fresh = pendingFast_ = std::make_shared<PendingFast>();
  {
    auto& p = *pendingFast_;
    for (const auto& e : events) {
      if (!std::isfinite(e.dx) || !std::isfinite(e.dy)) continue;
      if (e.kind == kit::FastEvent::Kind::pointerMove) {
        p.moveX += e.dx;
        p.moveY += e.dy;
        p.hasMove = true;
      } else if (e.kind == kit::FastEvent::Kind::scroll) {
        p.scrollX += e.dx;
        p.scrollY += e.dy;
        p.hasScroll = true;
      }
    }
  }
  if (!fresh) return;  // its task is queued already
  // Essential so that it is never refused: it stands for events already
  // taken from the phone. A new sum starts only after other work was queued,
  // and past the capacity that is only the few releases, so these stay few.
  queue_.postEssential(kFastEventsKey, [this, s = state_.get(), pending = std::move(fresh)] {
    PendingFast p;
    {
      std::lock_guard lock(pendingMutex_);
      if (pendingFast_ == pending) pendingFast_.reset();
      p = *pending;
    }
    if (p.hasMove) s->movePointer(p.moveX, p.moveY);
    if (p.hasScroll) s->scroll(p.scrollX, p.scrollY);
  });
}

void InputInjector::handleButton(kit::MouseButtonEvent event) {
  // A release is never dropped: a lost one would leave the button held.
  if (event.action == kit::MouseButtonEvent::Action::up) {
    postEssential(buttonNumber(event.button), [s = state_.get(), event] { s->handleButton(event); });
  } else {
    postOrdered([s = state_.get(), event] { s->handleButton(event); });
  }
}

void InputInjector::pressKey(kit::Key key, kit::Modifiers modifiers) {
  // A key stroke is one task, down and up together: dropping it leaves no key held.
  postOrdered([s = state_.get(), key = std::move(key), modifiers] { s->pressKey(key, modifiers); });
}

void InputInjector::pressKeyCode(std::uint16_t code, kit::Modifiers modifiers) {
  postOrdered([s = state_.get(), code, modifiers] { s->pressKeyCode(code, modifiers); });
}

void InputInjector::typeText(std::string text) {
  postOrdered([s = state_.get(), text = std::move(text)] { s->typeText(text); });
}

void InputInjector::applySettings(kit::InputSettings settings) {
  postOrdered([s = state_.get(), settings] {
    s->settings = settings;
    s->acceleration.settings = settings;  // the smoothing history stays
  });
}

void InputInjector::clickAt(std::uint32_t displayID, double x, double y, kit::MouseButton button) {
  postOrdered([s = state_.get(), displayID, x, y, button] { s->clickAt(displayID, x, y, button); });
}

void InputInjector::releaseAll() {
  postEssential(kReleaseAllKey, [s = state_.get()] { s->releaseAll(); });
}

std::uint64_t InputInjector::keySpecificFlags(std::uint16_t code) {
  switch (code) {
    case 123: case 124: case 125: case 126:
      return kFlagSecondaryFn | kFlagNumericPad;
    case 64: case 79: case 80: case 90: case 96: case 97: case 98: case 99: case 100: case 101: case 103:
    case 105: case 106: case 107: case 109: case 111: case 113: case 114: case 115: case 116: case 117:
    case 118: case 119: case 120: case 121: case 122:
      return kFlagSecondaryFn;
    default:
      return 0;
  }
}

std::optional<std::uint16_t> InputInjector::namedKeyCode(std::string_view rawValue) {
  const auto& table = namedKeys();
  if (auto it = table.find(rawValue); it != table.end()) return it->second;
  return std::nullopt;
}

}  // namespace tillerpad::host
