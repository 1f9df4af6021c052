#include "host/input/input_injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>

#include "host/input/layout_follower.h"
#include "host/input/system_commands.h"
#include "platform/fake/fake_keyboard_layout.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/recording_input.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using namespace platform;
using fake::TableKeyboardLayout;
using kit::FastEvent, kit::Key, kit::MissionControlAction, kit::Modifiers, kit::MouseButton;
using T = MouseEventType;
using Action = kit::MouseButtonEvent::Action;
using Events = std::vector<fake::RecordedInput>;
using Entry = KeyboardLayoutMap::Entry;
using State = DesktopShortcut::State;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Events text(const std::u16string& t) { return {TextEvent{true, t}, TextEvent{false, t}}; }
Events key(std::uint16_t code) { return {KeyEvent{code, true, 0}, KeyEvent{code, false, 0}}; }
Events operator+(Events a, const Events& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    input.setCursor(Point{100, 100});
    input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}, {2, {1280, 0, 1920, 1080}, "B", false}});
  }
  Events drain() {
    EXPECT_TRUE(injector.waitIdle(5s));
    return input.takeEvents();
  }
  std::vector<MouseEvent> mouseEvents() {
    std::vector<MouseEvent> out;
    for (const auto& e : drain()) out.push_back(std::get<MouseEvent>(e));
    return out;
  }
  // The clock is read on the injector's queue: let it catch up first.
  void setTime(double t) {
    EXPECT_TRUE(injector.waitIdle(5s));
    now = t;
  }
  void move(float dx, float dy) { injector.applyFastEvents({FastEvent::pointerMove(dx, dy)}); }
  Point movedTo(float dx, float dy) {
    move(dx, dy);
    return mouseEvents().at(0).location;
  }
  void button(MouseButton b, Action a) { injector.handleButton({b, a}); }

  std::atomic<double> now{100.0};
  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  fake::RecordingInput input;
  InputInjector injector{input, input, 0.5, kit::Logger(logs, "Tillerpad", "input"), [this] { return now.load(); }};
};

// Which X button each becomes, and drags, the X11 test sees.
TEST_F(InputInjectorTest, RepeatedDownsAndStrayUpsPostNothingAndPressesAreWhereThePointerWasPut) {
  move(1, 0);
  button(MouseButton::left, Action::down);
  button(MouseButton::left, Action::down);
  button(MouseButton::right, Action::up);
  button(MouseButton::left, Action::up);
  button(MouseButton::left, Action::up);
  auto events = mouseEvents();
  std::vector<T> types;
  for (const auto& e : events) types.push_back(e.type);
  EXPECT_EQ(types, (std::vector<T>{T::moved, T::leftDown, T::leftUp}));
  EXPECT_EQ(events.at(1).location, events[0].location);
  EXPECT_GT(events[0].location.x, 100);
}

TEST_F(InputInjectorTest, ScrollKeepsTheFractionFollowsTheSettingsAndSkipsHostileValues) {
  auto scrolled = [&](int times, float dx, float dy) {
    for (int i = 0; i < times; ++i) injector.applyFastEvents({FastEvent::scroll(dx, dy)});
    std::pair<int, int> sum;  // vertical, horizontal
    for (const auto& e : drain()) {
      sum = {sum.first + std::get<ScrollEvent>(e).vertical, sum.second + std::get<ScrollEvent>(e).horizontal};
    }
    return sum;
  };
  auto once = scrolled(1, 6, 3);
  EXPECT_GE(once.first, 3);
  EXPECT_NEAR(once.second, 2 * once.first, 1);
  // Each step is below a pixel: only the kept remainders make any.
  EXPECT_NEAR(scrolled(30, 0, 0.1f).first, once.first, 1);

  injector.applyFastEvents({FastEvent::pointerMove(kNaN, 1), FastEvent::pointerMove(kInf, 0),
                            FastEvent::pointerMove(3e38f, 0), FastEvent::scroll(0, kInf), FastEvent::scroll(kNaN, 0),
                            FastEvent::scroll(0, 3e38f)});
  injector.clickAt(9, 0.5, 0.5, MouseButton::left);  // no such display
  injector.clickAt(1, kNaN, 0.5, MouseButton::left);
  injector.clickAt(1, 0.5, kInf, MouseButton::left);
  // Settings arrive unchecked: an infinite speed must not put the pointer nowhere.
  injector.applySettings({kInf, 1.0, kNaN, true});
  injector.applyFastEvents({FastEvent::pointerMove(1, 1), FastEvent::scroll(0, 1)});
  EXPECT_TRUE(drain().empty());
  // Twice the speed without natural scrolling: twice as far the other way; no remainder was poisoned.
  injector.applySettings({1.5, 1.0, 2.0, false});
  auto reversed = scrolled(1, 6, 3);
  EXPECT_NEAR(reversed.first, -2 * once.first, 2);
  EXPECT_NEAR(reversed.second, -2 * once.second, 2);
  injector.applySettings(kit::InputSettings::defaults());
  EXPECT_GT(movedTo(1, 1).x, 100);
}

TEST_F(InputInjectorTest, PointerIsClampedToTheDesktopButCrossesDisplays) {
  input.setCursor(Point{1270, 500});
  EXPECT_GT(movedTo(20, 0).x, 1280);  // into display B
  setTime(101);  // past the trust window: the cursor is read again
  input.setCursor(Point{3190, 500});
  move(50, -3000);
  auto edge = mouseEvents().at(0);
  EXPECT_EQ(edge.location, (Point{3199, 0}));
  EXPECT_GT(edge.deltaX, 50);  // the delta fields carry the accelerated step, rounded
  // A click at a fraction of a display stays on it.
  injector.clickAt(2, 1.0, 1.0, MouseButton::right);
  EXPECT_EQ(mouseEvents().at(0).location, (Point{1280 + 0.999 * 1920, 0.999 * 1080}));
  // Below display A (display B is taller): slides along A's bottom edge.
  setTime(102);
  input.setCursor(Point{600, 790});
  EXPECT_EQ(movedTo(0, 200).y, 799);
  // No cursor and no displays: from the origin, unclamped.
  setTime(104);
  input.setCursor(std::nullopt);
  input.setDisplays({});
  Point p = movedTo(-10, -10);
  EXPECT_TRUE(p.x < -10 && p.y < -10) << p.x << "," << p.y;
}

// Where the injector put the pointer is trusted over the cursor (which lags)
// for half a second, unless the move failed; a release at teardown forgets it.
TEST_F(InputInjectorTest, OwnPositionIsTrustedForHalfASecondUnlessAMoveFailedOrAllWasReleased) {
  Point first = movedTo(1, 0);
  input.setCursor(Point{500, 500});  // a physical mouse moved
  setTime(100.4);
  EXPECT_EQ(movedTo(0, 0), first);
  input.setFailing(true);
  move(5, 0);
  drain();
  input.setFailing(false);
  setTime(100.45);
  EXPECT_EQ(movedTo(0, 0), first);
  setTime(101.0);
  EXPECT_EQ(movedTo(0, 0), (Point{500, 500}));
  EXPECT_EQ(input.displayQueries(), 1u);  // displays are cached for a second
  setTime(101.1);
  movedTo(3, 0);
  EXPECT_EQ(input.displayQueries(), 2u);
  injector.releaseAll();
  input.setCursor(Point{400, 300});
  EXPECT_EQ(movedTo(0, 0), (Point{400, 300}));
}

TEST_F(InputInjectorTest, KeyStrokesWithModifiersAndTheLayout) {
  injector.updateLayout({{{"a", {0, false}}, {"4", {21, false}}}});
  const std::uint64_t kShift = 0x20000, kCommand = 0x100000;
  const Events shiftA{KeyEvent{56, true, kShift}, KeyEvent{0, true, kShift}, KeyEvent{0, false, kShift},
                      KeyEvent{56, false, 0}};
  const struct {
    const char* name;
    Key key;
    Modifiers modifiers;
    Events expected;
  } cases[] = {
      {"a with shift", Key("a"), Modifiers::shift(), shiftA},
      {"A without modifiers: shifted by the layout", Key("A"), Modifiers::none(), shiftA},
      {"command shift 4: pressed in order, released in reverse", Key("4"), Modifiers::command() | Modifiers::shift(),
       {KeyEvent{56, true, kShift}, KeyEvent{55, true, kShift | kCommand}, KeyEvent{21, true, kShift | kCommand},
        KeyEvent{21, false, kShift | kCommand}, KeyEvent{55, false, kShift}, KeyEvent{56, false, 0}}},
      {"outside the layout: text, no modifiers", Key("é"), Modifiers::command(), text(u"é")},
      {"a word is no key", Key("hello"), Modifiers::command(), {}},
      {"empty key", Key(""), Modifiers::none(), {}},
  };
  for (const auto& c : cases) {
    injector.pressKey(c.key, c.modifiers);
    EXPECT_EQ(drain(), c.expected) << c.name;
  }
  EXPECT_EQ(logs->count("Ignoring unknown key hello"), 1u);
  EXPECT_EQ(logs->count("Ignoring unknown key "), 1u);

  // The layout follows the desktop's; without one keys are typed as text.
  fake::FakeKeyboardLayoutSource source;
  source.select(TableKeyboardLayout::Table{{{6, false}, u"z"}});
  followKeyboardLayout(source, injector);
  auto pressZ = [&] {
    injector.pressKey(Key("z"), Modifiers::none());
    return drain();
  };
  EXPECT_EQ(pressZ(), key(6));
  source.select(TableKeyboardLayout::Table{{{16, false}, u"z"}});
  EXPECT_EQ(pressZ(), key(16));
  source.select(std::nullopt);
  EXPECT_EQ(pressZ(), text(u"z"));
}

TEST(KeyboardLayoutMap, BuildKeepsTheFirstPrintableSingleUnitAndLookupFallsBackToShiftedLowercase) {
  auto map = KeyboardLayoutMap::build(TableKeyboardLayout(TableKeyboardLayout::Table{
      {{0, false}, u"a"}, {{0, true}, u"A"}, {{18, false}, u"1"}, {{18, true}, u"!"}, {{49, false}, u" "},
      {{36, false}, u"\r"}, {{48, false}, u"\t"}, {{10, false}, u"\u00A0"},  // whitespace, no-break space too
      {{83, false}, u"1"},                                                   // keypad 1: the main row wins
      {{11, false}, u"\U0001F600"}, {{12, false}, u"qq"},                    // two UTF-16 units, two characters
      {{13, false}, u"\x1b"},                                                // a control character
      {{14, false}, u"\u00E9"},                                              // é, with no key for É
      {{15, true}, u"\u00DF"}, {{16, false}, u"\u00DF"},  // ß shifted, then unshifted on a higher key
      {{127, true}, u"\u00B5"}, {{128, false}, u"x"},     // the last scanned key, one beyond
  }));
  EXPECT_EQ(map.entries, (decltype(map.entries){{"a", {0, false}}, {"A", {0, true}}, {"1", {18, false}}, {"!", {18, true}},
                                                {"\u00E9", {14, false}}, {"\u00DF", {15, true}}, {"\u00B5", {127, true}}}));
  for (auto [character, expected] : {std::pair<const char*, std::optional<Entry>>{"\u00C9", Entry{14, true}},
                                     {"!", Entry{18, true}}, {"B", std::nullopt}, {"", std::nullopt}}) {
    EXPECT_EQ(map.entry(character), expected) << character;
  }
}

TEST_F(InputInjectorTest, TextIsTypedByGraphemeWithReturnAndTabAsKeys) {
  injector.typeText("a\r\nb\tc\n\re\xCC\x81");  // the last a letter and its combining accent: one grapheme
  EXPECT_EQ(drain(), text(u"a") + key(36) + text(u"b") + key(48) + text(u"c") + key(36) + key(36) + text(u"e\u0301"));
  injector.typeText("");
  injector.typeText("\xFF");  // ill-formed UTF-8 is replaced, not dropped silently
  EXPECT_EQ(drain(), text(u"\uFFFD"));
}

// A flood that fills the queue drops new work but never a release, and the
// queue stays bounded however many releases and fast events follow.
TEST_F(InputInjectorTest, AFullQueueKeepsReleasesAndSumsFastEvents) {
  button(MouseButton::left, Action::down);
  button(MouseButton::right, Action::down);
  drain();
  std::promise<void> release, holding;
  auto gate = release.get_future().share();
  injector.post([gate, &holding] {  // holds the queue's thread
    holding.set_value();
    gate.wait_for(20s);
  });
  ASSERT_EQ(holding.get_future().wait_for(5s), std::future_status::ready);
  for (std::size_t i = 0; i < InputInjector::queueCapacity + 100; ++i) injector.pressKeyCode(0, Modifiers::none());
  for (int i = 0; i < 10'000; ++i) {
    button(MouseButton::left, Action::up);
    injector.releaseAll();
    move(1, 0);
  }
  button(MouseButton::middle, Action::down);  // new work while full: dropped
  EXPECT_LE(injector.queuedTasks(), InputInjector::queueCapacity + 3);
  release.set_value();
  std::vector<T> types;
  Point last;
  for (const auto& e : drain()) {
    if (auto m = std::get_if<MouseEvent>(&e)) types.push_back(m->type), last = m->location;
  }
  // The ten thousand moves arrive summed, after the releases they followed.
  EXPECT_EQ(types, (std::vector<T>{T::leftUp, T::rightUp, T::moved}));
  EXPECT_GT(last.x, 100 + 1000);
  // Once the queue is short again, moves are applied one by one.
  move(1, 0);
  move(1, 0);
  EXPECT_EQ(mouseEvents().size(), 2u);
}

class SystemCommandsTest : public InputInjectorTest {
 protected:
  fake::FakeSystemCommands desk;
  SystemCommands commands{desk, desk, kit::Logger(logs, "Tillerpad", "input")};
};

// Which key each media action presses the X11 test sees; here: down then up,
// and what the desktop does not know does nothing.
TEST_F(SystemCommandsTest, MediaAndPowerActions) {
  desk.failures[PowerRequest::suspend] = "no system bus";
  for (const char* a : {"lock", "sleep", "displaySleep", "restart"}) commands.performPower(kit::PowerAction(a));
  commands.performMedia(kit::MediaAction::volumeUp);
  commands.performMedia(kit::MediaAction("eject"));
  EXPECT_EQ(desk.power, (std::vector{PowerRequest::lockSession, PowerRequest::suspend, PowerRequest::displaySleep}));
  EXPECT_EQ(desk.media, (decltype(desk.media){{MediaKey::soundUp, true}, {MediaKey::soundUp, false}}));
  EXPECT_EQ(logs->count("pmset sleepnow failed: no system bus"), 1u);
  EXPECT_EQ(logs->count("Ignoring unknown power action restart"), 1u);
  for (const auto& r : logs->records()) EXPECT_EQ(r.category, "power");
  EXPECT_TRUE(drain().empty());  // locking presses no keys
}

TEST_F(SystemCommandsTest, ShortcutModifiersComeFromTheFlagsAndNoKeyMeansTheDefault) {
  auto fallback = commands.shortcut(MissionControlAction::appWindows);
  ASSERT_TRUE(fallback && fallback->isDefault);
  desk.shortcuts["33"] = DesktopShortcut{State::bound, 65535, 0x40000};  // appWindows' setting
  desk.shortcuts["32"] = DesktopShortcut{State::bound, 1, 0x1E0000};     // missionControl's
  EXPECT_EQ(commands.shortcut(MissionControlAction::appWindows), fallback);
  using M = kit::Modifiers;
  EXPECT_EQ(commands.shortcut(MissionControlAction::missionControl),
            (SystemCommands::Shortcut{1, M{M::commandBit | M::optionBit | M::controlBit | M::shiftBit}, false}));
}

// Without a binding of its own the desktop is asked directly; a binding wins;
// switched off or unknown is refused even where the desktop could do it.
TEST_F(SystemCommandsTest, MissionControlAsksTheDesktopOrPressesTheShortcut) {
  for (const char* id : {"36", "79", "32"}) desk.direct[id] = true;
  desk.shortcuts["79"] = DesktopShortcut{State::bound, 123, 0xC0000};
  desk.shortcuts["32"] = DesktopShortcut{State::disabled, 0, 0};
  EXPECT_TRUE(commands.performMissionControl(MissionControlAction::spaceRight, injector));
  EXPECT_TRUE(commands.performMissionControl(MissionControlAction::showDesktop, injector));
  EXPECT_TRUE(commands.performMissionControl(MissionControlAction::spaceLeft, injector));
  EXPECT_FALSE(commands.performMissionControl(MissionControlAction::missionControl, injector));
  EXPECT_FALSE(commands.performMissionControl(MissionControlAction("launchpad"), injector));
  EXPECT_EQ(desk.performedDirectly, (std::vector<std::string>{"36"}));
  EXPECT_EQ(drain(), (Events{KeyEvent{59, true, 0x40000}, KeyEvent{124, true, 0xA40000}, KeyEvent{124, false, 0xA40000},
                              KeyEvent{59, false, 0}, KeyEvent{59, true, 0x40000}, KeyEvent{58, true, 0xC0000},
                              KeyEvent{123, true, 0xAC0000}, KeyEvent{123, false, 0xAC0000},
                              KeyEvent{58, false, 0x40000}, KeyEvent{59, false, 0}}));
  EXPECT_EQ(logs->count("spaceRight: key 124 modifiers 4"), 1u);
  EXPECT_EQ(logs->count("No shortcut for missionControl (turned off?)"), 1u);
  EXPECT_EQ(logs->count("No shortcut for launchpad (turned off?)"), 1u);
  for (const auto& r : logs->records()) EXPECT_EQ(r.category, "mission-control");
}

}  // namespace
}  // namespace tillerpad::host
