#include "host/input/input_injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <set>

#include "host/input/layout_follower.h"
#include "platform/fake/fake_keyboard_layout.h"
#include "platform/fake/recording_input.h"
#include "tests/host/input/recorded_events.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Key;
using kit::Modifiers;
using kit::MouseButton;
using kit::MouseButtonEvent;
using platform::KeyEvent;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::Point;
using platform::ScrollEvent;
using platform::TextEvent;
using platform::fake::RecordedInput;
using Action = MouseButtonEvent::Action;

constexpr std::uint64_t kShift = 0x20000;
constexpr std::uint64_t kCommand = 0x100000;
constexpr std::uint64_t kControl = 0x40000;

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    input.setCursor(Point{100, 100});
    input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}, {2, {1280, 0, 1920, 1080}, "B", false}});
    injector = std::make_unique<InputInjector>(input, input, 0.5, kit::Logger(logs, "Tillerpad", "input"),
                                               [this] { return now.load(); });
  }

  std::vector<RecordedInput> drain() {
    EXPECT_TRUE(injector->waitIdle(5s));
    return input.takeEvents();
  }

  std::vector<MouseEvent> mouseEvents() {
    std::vector<MouseEvent> out;
    for (const auto& e : drain()) {
      if (auto m = std::get_if<MouseEvent>(&e)) out.push_back(*m);
    }
    return out;
  }

  // The clock is read on the injector's queue: let it catch up first.
  void setTime(double t) {
    EXPECT_TRUE(injector->waitIdle(5s));
    now = t;
  }

  void move(float dx, float dy) { injector->applyFastEvents({kit::FastEvent::pointerMove(dx, dy)}); }
  void scroll(float dx, float dy) { injector->applyFastEvents({kit::FastEvent::scroll(dx, dy)}); }

  std::atomic<double> now{100.0};
  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  platform::fake::RecordingInput input;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(InputInjectorTest, MovesBecomeDragsWhileAButtonIsHeld) {
  move(1, 0);
  injector->handleButton({MouseButton::left, Action::down});
  move(1, 0);
  injector->handleButton({MouseButton::left, Action::up});
  move(1, 0);
  injector->handleButton({MouseButton::right, Action::down});
  move(0, 1);
  injector->handleButton({MouseButton::right, Action::up});
  injector->handleButton({MouseButton::middle, Action::down});
  move(0, 1);

  auto events = mouseEvents();
  std::vector<std::pair<MouseEventType, int>> kinds;
  for (const auto& e : events) kinds.emplace_back(e.type, e.button);
  using T = MouseEventType;
  EXPECT_EQ(kinds, (std::vector<std::pair<T, int>>{{T::moved, 0},
                                                   {T::leftDown, 0},
                                                   {T::leftDragged, 0},
                                                   {T::leftUp, 0},
                                                   {T::moved, 0},
                                                   {T::rightDown, 1},
                                                   {T::rightDragged, 1},
                                                   {T::rightUp, 1},
                                                   {T::otherDown, 2},
                                                   {T::otherDragged, 2}}));
  // The press happens where the injector last put the pointer.
  EXPECT_EQ(events[1].location, events[0].location);
  EXPECT_GT(events[0].location.x, 100);
}

TEST_F(InputInjectorTest, RepeatedDownAndStrayUpPostNothing) {
  injector->handleButton({MouseButton::left, Action::down});
  injector->handleButton({MouseButton::left, Action::down});
  injector->handleButton({MouseButton::right, Action::up});
  injector->handleButton({MouseButton::left, Action::up});
  injector->handleButton({MouseButton::left, Action::up});
  auto events = mouseEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (MouseEvent{MouseEventType::leftDown, 0, {100, 100}, 1, 0, 0}));
  EXPECT_EQ(events[1], (MouseEvent{MouseEventType::leftUp, 0, {100, 100}, 1, 0, 0}));
}

TEST_F(InputInjectorTest, ClickStatesCountMultiClicks) {
  injector->handleButton({MouseButton::left, Action::click});
  setTime(100.2);
  injector->handleButton({MouseButton::left, Action::click});
  setTime(100.3);
  injector->handleButton({MouseButton::left, Action::down});
  injector->handleButton({MouseButton::left, Action::up});
  setTime(101.0);  // past the interval: a new series
  injector->handleButton({MouseButton::left, Action::click});
  std::vector<std::int64_t> states;
  for (const auto& e : mouseEvents()) states.push_back(e.clickState);
  EXPECT_EQ(states, (std::vector<std::int64_t>{1, 1, 2, 2, 3, 3, 1, 1}));
}

TEST_F(InputInjectorTest, ScrollKeepsTheFractionAndFollowsNaturalScrolling) {
  scroll(0, 0.3f);
  scroll(0, 0.3f);
  EXPECT_TRUE(drain().empty());
  scroll(0, 0.3f);  // 1.44: one pixel, 0.44 kept
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{ScrollEvent{1, 0}}));
  scroll(0, 0.3f);  // 0.92
  EXPECT_TRUE(drain().empty());
  scroll(0, 0.3f);  // 1.40
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{ScrollEvent{1, 0}}));

  injector->applySettings({1.5, 1.0, 2.0, false});
  scroll(2, 1);  // 0.40 + 1 × 3.2 negated, horizontal 2 × 3.2 negated
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{ScrollEvent{-2, -6}}));
}

TEST_F(InputInjectorTest, HostileDeltasAreSkippedAndTheQueueGoesOn) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  injector->applyFastEvents({kit::FastEvent::pointerMove(nan, 1), kit::FastEvent::pointerMove(inf, 0),
                             kit::FastEvent::pointerMove(3e38f, 0), kit::FastEvent::scroll(0, inf),
                             kit::FastEvent::scroll(nan, 0), kit::FastEvent::scroll(0, 3e38f)});
  EXPECT_TRUE(drain().empty());
  // Settings arrive unchecked: an infinite speed must not put the pointer nowhere.
  injector->applySettings({std::numeric_limits<double>::infinity(), 1.0, std::nan(""), true});
  move(1, 1);
  scroll(0, 1);
  EXPECT_TRUE(drain().empty());
  injector->applySettings(kit::InputSettings::defaults());
  scroll(0, 1);  // the remainder was not poisoned
  move(1, 1);
  auto events = drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], RecordedInput(ScrollEvent{1, 0}));
  EXPECT_TRUE(std::holds_alternative<MouseEvent>(events[1]));
}

TEST_F(InputInjectorTest, PointerIsClampedToTheDesktopButCrossesDisplays) {
  input.setCursor(Point{1270, 500});
  move(20, 0);  // into display B
  auto crossing = mouseEvents();
  ASSERT_EQ(crossing.size(), 1u);
  EXPECT_GT(crossing[0].location.x, 1280);

  setTime(101);  // past the trust window: the cursor is read again
  input.setCursor(Point{3190, 500});
  move(50, 0);
  setTime(101.01);
  move(0, -3000);
  auto edge = mouseEvents();
  ASSERT_EQ(edge.size(), 2u);
  EXPECT_EQ(edge[0].location, (Point{3199, 500}));
  EXPECT_EQ(edge[1].location, (Point{3199, 0}));
  EXPECT_GT(edge[0].deltaX, 50);  // the delta fields carry the accelerated step, rounded

  // Below display A (display B is taller): slides along A's bottom edge.
  setTime(102);
  input.setCursor(Point{600, 790});
  move(0, 200);
  EXPECT_EQ(mouseEvents().at(0).location.y, 799);
}

TEST_F(InputInjectorTest, OwnPositionIsTrustedForHalfASecondAndDisplaysCachedForOne) {
  move(1, 0);
  Point first = mouseEvents().at(0).location;
  input.setCursor(Point{500, 500});  // a physical mouse moved
  setTime(100.4);
  move(0, 0);
  EXPECT_EQ(mouseEvents().at(0).location, first);
  setTime(100.95);
  move(0, 0);
  EXPECT_EQ(mouseEvents().at(0).location, (Point{500, 500}));
  EXPECT_EQ(input.displayQueries(), 1u);
  setTime(101.1);
  move(0, 0);
  drain();
  EXPECT_EQ(input.displayQueries(), 2u);
}

TEST_F(InputInjectorTest, FailedMoveLeavesThePositionAlone) {
  move(5, 0);
  Point placed = mouseEvents().at(0).location;
  input.setFailing(true);
  move(5, 0);
  drain();
  input.setFailing(false);
  input.setCursor(Point{700, 700});
  setTime(100.3);
  move(0, 0);
  EXPECT_EQ(mouseEvents().at(0).location, placed);
}

TEST_F(InputInjectorTest, KeyStrokesWithModifiersAndKeyFlags) {
  KeyboardLayoutMap layout;
  layout.entries["a"] = {0, false};
  layout.entries["4"] = {21, false};
  injector->updateLayout(layout);

  struct Case {
    const char* name;
    Key key;
    Modifiers modifiers;
    std::vector<RecordedInput> expected;
  };
  const std::vector<RecordedInput> shiftA{KeyEvent{56, true, kShift}, KeyEvent{0, true, kShift},
                                          KeyEvent{0, false, kShift}, KeyEvent{56, false, 0}};
  std::vector<Case> cases = {
      {"a with shift", Key("a"), Modifiers::shift(), shiftA},
      {"A without modifiers", Key("A"), Modifiers::none(), shiftA},
      {"left arrow", Key::leftArrow, Modifiers::none(),
       {KeyEvent{123, true, 0xA00000}, KeyEvent{123, false, 0xA00000}}},
      {"command shift 4", Key("4"), Modifiers::command() | Modifiers::shift(),
       {KeyEvent{56, true, kShift}, KeyEvent{55, true, kShift | kCommand}, KeyEvent{21, true, kShift | kCommand},
        KeyEvent{21, false, kShift | kCommand}, KeyEvent{55, false, kShift}, KeyEvent{56, false, 0}}},
      {"control function f11", Key("f11"), Modifiers::control() | Modifiers::function(),
       {KeyEvent{59, true, kControl}, KeyEvent{103, true, kControl | 0x800000},
        KeyEvent{103, false, kControl | 0x800000}, KeyEvent{59, false, 0}}},
      {"outside the layout: text, no modifiers", Key("é"), Modifiers::command(),
       {TextEvent{true, u"é"}, TextEvent{false, u"é"}}},
      {"a word is no key", Key("hello"), Modifiers::command(), {}},
      {"empty key", Key(""), Modifiers::none(), {}},
  };
  for (const auto& c : cases) {
    injector->pressKey(c.key, c.modifiers);
    EXPECT_EQ(drain(), c.expected) << c.name;
  }
  EXPECT_EQ(logs->count("Ignoring unknown key hello"), 1u);
  EXPECT_EQ(logs->count("Ignoring unknown key "), 1u);
}

TEST_F(InputInjectorTest, LayoutChangesReachTheNextKeyPress) {
  platform::fake::FakeKeyboardLayoutSource source;
  source.select(platform::fake::TableKeyboardLayout::Table{{{6, false}, u"z"}, {{16, false}, u"y"}});
  followKeyboardLayout(source, *injector);
  injector->pressKey(Key("z"), Modifiers::none());
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{KeyEvent{6, true, 0}, KeyEvent{6, false, 0}}));
  source.select(platform::fake::TableKeyboardLayout::Table{{{16, false}, u"z"}, {{6, false}, u"y"}});
  injector->pressKey(Key("z"), Modifiers::none());
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{KeyEvent{16, true, 0}, KeyEvent{16, false, 0}}));
  source.select(std::nullopt);  // no layout: text
  injector->pressKey(Key("z"), Modifiers::none());
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{TextEvent{true, u"z"}, TextEvent{false, u"z"}}));
}

// The phone names f1 to f12: each is its own key, and all carry the same
// function-key flag; no other number is a function key.
TEST_F(InputInjectorTest, FunctionKeysAreDistinctAndFlagged) {
  std::set<std::uint16_t> codes;
  for (int n = 1; n <= 12; ++n) {
    auto code = InputInjector::namedKeyCode(Key::functionKey(n).rawValue);
    ASSERT_TRUE(code) << n;
    codes.insert(*code);
    EXPECT_EQ(InputInjector::keySpecificFlags(*code), InputInjector::keySpecificFlags(*InputInjector::namedKeyCode("f1")));
  }
  EXPECT_EQ(codes.size(), 12u);
  EXPECT_NE(InputInjector::keySpecificFlags(*InputInjector::namedKeyCode("f1")), 0u);
  EXPECT_FALSE(InputInjector::namedKeyCode("f13"));
  EXPECT_FALSE(InputInjector::namedKeyCode("f0"));
}

TEST_F(InputInjectorTest, TextIsTypedByGraphemeWithReturnAndTabAsKeys) {
  injector->typeText("a\r\nb\tc\n\rd");
  const std::vector<RecordedInput> expected{
      TextEvent{true, u"a"},   TextEvent{false, u"a"},   KeyEvent{36, true, 0},  KeyEvent{36, false, 0},
      TextEvent{true, u"b"},   TextEvent{false, u"b"},   KeyEvent{48, true, 0},  KeyEvent{48, false, 0},
      TextEvent{true, u"c"},   TextEvent{false, u"c"},   KeyEvent{36, true, 0},  KeyEvent{36, false, 0},
      KeyEvent{36, true, 0},   KeyEvent{36, false, 0},   TextEvent{true, u"d"},  TextEvent{false, u"d"}};
  EXPECT_EQ(drain(), expected);

  // One grapheme of 26 UTF-16 units travels in runs of at most 20.
  std::string zalgo = "a";
  for (int i = 0; i < 25; ++i) zalgo += "\xCC\x81";  // U+0301
  injector->typeText(zalgo + "\xF0\x9F\x98\x80");      // then an emoji (a surrogate pair)
  auto events = drain();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(std::get<TextEvent>(events[0]).text.size(), 20u);
  EXPECT_EQ(std::get<TextEvent>(events[2]).text.size(), 6u);
  EXPECT_EQ(std::get<TextEvent>(events[4]).text, u"\U0001F600");

  injector->typeText("");
  injector->typeText("\xFF");  // ill-formed UTF-8 is replaced, not dropped silently
  EXPECT_EQ(drain(), (std::vector<RecordedInput>{TextEvent{true, u"\uFFFD"}, TextEvent{false, u"\uFFFD"}}));
}

TEST_F(InputInjectorTest, ClickAtUsesFractionsOfTheDisplay) {
  injector->clickAt(2, 1.0, 0.5, MouseButton::right);
  auto events = mouseEvents();
  ASSERT_EQ(events.size(), 3u);
  const Point p{1280 + 0.999 * 1920, 540};
  EXPECT_EQ(events[0], (MouseEvent{MouseEventType::moved, 0, p, 0, 0, 0}));
  EXPECT_EQ(events[1], (MouseEvent{MouseEventType::rightDown, 1, p, 1, 0, 0}));
  EXPECT_EQ(events[2], (MouseEvent{MouseEventType::rightUp, 1, p, 1, 0, 0}));

  injector->clickAt(1, -3, 0, MouseButton::left);
  EXPECT_EQ(mouseEvents().at(0).location, (Point{0, 0}));
  injector->clickAt(9, 0.5, 0.5, MouseButton::left);
  injector->clickAt(1, std::nan(""), 0.5, MouseButton::left);
  injector->clickAt(1, 0.5, std::numeric_limits<double>::infinity(), MouseButton::left);
  EXPECT_TRUE(drain().empty());
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfHeldButtonsWithClickStateOne) {
  injector->handleButton({MouseButton::left, Action::click});
  injector->handleButton({MouseButton::left, Action::down});  // click state 2
  drain();
  injector->releaseAll();
  injector->releaseAll();
  EXPECT_EQ(mouseEvents(), (std::vector<MouseEvent>{{MouseEventType::leftUp, 0, {100, 100}, 1, 0, 0}}));
  // The pointer is forgotten: the next move starts from the real cursor.
  input.setCursor(Point{400, 300});
  move(0, 0);
  EXPECT_EQ(mouseEvents().at(0).location, (Point{400, 300}));
}

// A flood that fills the queue drops new work but never a release, and the
// queue stays bounded however many releases and fast events follow.
TEST_F(InputInjectorTest, AFullQueueKeepsReleasesAndSumsFastEvents) {
  injector->handleButton({MouseButton::left, Action::down});
  injector->handleButton({MouseButton::right, Action::down});
  drain();
  std::promise<void> release, holding;
  auto gate = release.get_future().share();
  injector->post([gate, &holding] {  // holds the queue's thread
    holding.set_value();
    gate.wait_for(20s);
  });
  ASSERT_EQ(holding.get_future().wait_for(5s), std::future_status::ready);
  for (std::size_t i = 0; i < InputInjector::queueCapacity + 100; ++i) injector->pressKeyCode(0, Modifiers::none());
  for (int i = 0; i < 10'000; ++i) {
    injector->handleButton({MouseButton::left, Action::up});
    injector->releaseAll();
    move(1, 0);
  }
  injector->handleButton({MouseButton::middle, Action::down});  // new work while full: dropped
  EXPECT_LE(injector->queuedTasks(), InputInjector::queueCapacity + 3);
  release.set_value();

  auto events = mouseEvents();
  auto count = [&](MouseEventType type) {
    return std::count_if(events.begin(), events.end(), [type](const MouseEvent& e) { return e.type == type; });
  };
  EXPECT_EQ(count(MouseEventType::leftUp), 1);
  EXPECT_EQ(count(MouseEventType::rightUp), 1);
  EXPECT_EQ(count(MouseEventType::otherDown), 0);
  // The ten thousand moves arrive summed, after the releases they followed.
  ASSERT_EQ(count(MouseEventType::moved), 1);
  EXPECT_EQ(events.back().type, MouseEventType::moved);
  EXPECT_GT(events.back().location.x, 100 + 1000);

  // Once the queue is short again, moves are applied one by one.
  move(1, 0);
  move(1, 0);
  EXPECT_EQ(mouseEvents().size(), 2u);
}

TEST_F(InputInjectorTest, NoCursorAndNoDisplaysMeansOriginAndNoClamp) {
  input.setCursor(std::nullopt);
  input.setDisplays({});
  move(-10, -10);
  Point p = mouseEvents().at(0).location;
  EXPECT_LT(p.x, -10);
  EXPECT_LT(p.y, -10);
}

}  // namespace
}  // namespace tillerpad::host
