// Runs the X11 adapters against a real X server (Xvfb, started by
// with_xvfb.sh) and watches what arrives at a window of the test's own.
// Moves, left and right clicks, typing under a US layout and one media key
// are the end-to-end test's (tests/e2e/headless_test.sh).
#include <gtest/gtest.h>
#include <poll.h>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "host/input/input_injector.h"
#include "host/input/keyboard_layout_map.h"
#include "host/input/system_commands.h"
#include "platform/desktop_shortcuts.h"
#include "platform/linux/gnome_desktop_shortcuts.h"
#include "platform/linux/linux_system_commands.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/x11_input.h"
#include "platform/linux/xkb_keyboard_layout.h"
#include "platform/linux/xsettings.h"
#include "tests/platform/linux/temp_dir.h"

#include <gio/gio.h>

// Last: Xlib's macros (None, Status ...) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/dpms.h>
#include <xkbcommon/xkbcommon.h>

namespace tillerpad {
namespace {

using namespace std::chrono_literals;
using host::InputInjector;
using host::KeyboardLayoutMap;
using kit::MouseButton;
using Action = kit::MouseButtonEvent::Action;
using platform::linux_x11::LinuxSystemCommands;
using platform::linux_x11::X11Input;
using platform::linux_x11::XkbKeyboardLayoutSource;

// What the test's window saw.
struct Seen {
  std::vector<std::pair<int, unsigned int>> buttons;  // (event type, button)
  bool dragged = false;                               // motion with the left button held
  std::u32string text;
  std::vector<KeySym> keysyms;
  std::vector<std::pair<Atom, long>> clientMessages;  // sent to the root window
};
const auto never = [](const Seen&) { return false; };

// A full-screen window that takes the keyboard focus, as an application would.
struct TestWindow {
  std::unique_ptr<Display, decltype(&XCloseDisplay)> display{XOpenDisplay(nullptr), &XCloseDisplay};

  TestWindow() {
    Display* d = display.get();
    if (!d) return;
    XSetWindowAttributes attributes{
        .event_mask = KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask, .override_redirect = True};
    Window window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 1280, 800, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(d, window);
    XSync(d, False);
    XSetInputFocus(d, window, RevertToParent, CurrentTime);
    XSync(d, False);
    collect(100ms, never);
  }

  // Reads events until `enough` says so or the time limit passes.
  Seen collect(std::chrono::milliseconds limit, const std::function<bool(const Seen&)>& enough) {
    Seen seen;
    Display* d = display.get();
    using std::chrono::steady_clock;
    for (auto end = steady_clock::now() + limit; !enough(seen) && steady_clock::now() < end;) {
      if (XPending(d) == 0) {
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, 10);  // short: the time limit is checked every round
        continue;
      }
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
      if (e.type == ButtonPress || e.type == ButtonRelease) seen.buttons.emplace_back(e.type, e.xbutton.button);
      if (e.type == ClientMessage) seen.clientMessages.emplace_back(e.xclient.message_type, e.xclient.data.l[0]);
      if (e.type == MotionNotify) seen.dragged = seen.dragged || (e.xmotion.state & Button1Mask);
      KeySym sym = NoSymbol;
      char buffer[32];
      if (e.type == KeyPress) XLookupString(&e.xkey, buffer, sizeof buffer, &sym, nullptr);
      if (sym == NoSymbol) continue;
      seen.keysyms.push_back(sym);
      if (char32_t c = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(sym))) seen.text.push_back(c);
    }
    return seen;
  }
};

void setLayout(const char* layout) {
  std::string command = std::string("setxkbmap ") + layout;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class X11InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window.display) << "no X display: run through with_xvfb.sh";
    input = X11Input::open("", logger);
    ASSERT_TRUE(input);
    injector = std::make_unique<InputInjector>(*input, *input, input->doubleClickInterval(), logger);
  }
  void TearDown() override {
    if (injector) EXPECT_TRUE(injector->waitIdle(20s));
  }
  void idle() { ASSERT_TRUE(injector->waitIdle(20s)); }

  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger{logs, "Tillerpad", "input"};
  TestWindow window;
  Display* d = window.display.get();
  std::unique_ptr<X11Input> input;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(X11InputTest, PointerButtonsAndWheelArriveWhereAndAsTheInjectorSaid) {
  auto displays = input->activeDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].bounds, (platform::Rect{0, 0, 1280, 800}));
  injector->clickAt(displays[0].id, 0.25, 0.5, MouseButton::middle);
  idle();
  EXPECT_EQ(input->cursorLocation(), (platform::Point{320, 400}));
  injector->handleButton({MouseButton::left, Action::down});
  injector->applyFastEvents({kit::FastEvent::pointerMove(10, 0), kit::FastEvent::pointerMove(10, 0)});
  injector->handleButton({MouseButton::left, Action::up});
  injector->applyFastEvents({kit::FastEvent::scroll(0, 40)});   // 64 px: two clicks up
  injector->applyFastEvents({kit::FastEvent::scroll(-20, 0)});  // 32 px to the right
  // Far past the bottom-right corner: the pointer stays on the display.
  injector->applyFastEvents({kit::FastEvent::pointerMove(5000, 5000)});
  idle();
  EXPECT_EQ(input->cursorLocation(), (platform::Point{1279, 799}));
  auto seen = window.collect(20s, [](const Seen& s) { return s.buttons.size() >= 10; });
  EXPECT_EQ(seen.buttons, (std::vector<std::pair<int, unsigned int>>{
                              {ButtonPress, 2}, {ButtonRelease, 2}, {ButtonPress, 1}, {ButtonRelease, 1},
                              {ButtonPress, 4}, {ButtonRelease, 4}, {ButtonPress, 4}, {ButtonRelease, 4},
                              {ButtonPress, 7}, {ButtonRelease, 7}}));
  EXPECT_TRUE(seen.dragged) << "no motion with the left button held";
}

// The layout map follows the server's keymap (the watcher polls, so it is
// given a moment); text and keys arrive under a German layout too.
TEST_F(X11InputTest, KeysAndTextFollowTheServerKeymap) {
  XkbKeyboardLayoutSource source("", logger);
  std::atomic<int> changes{0};
  source.setOnChange([&] { ++changes; });
  setLayout("us");
  window.collect(100ms, never);
  auto us = KeyboardLayoutMap::current(source);
  int before = changes;
  setLayout("de");
  for (int i = 0; i < 200 && changes == before; ++i) window.collect(100ms, never);
  EXPECT_GT(changes, before) << "the layout switch was not announced";
  auto de = KeyboardLayoutMap::current(source);
  ASSERT_TRUE(de.entry("z") && us.entry("z"));
  EXPECT_EQ(de.entry("z"), us.entry("y"));
  EXPECT_EQ(de.entry("y"), us.entry("z"));
  EXPECT_FALSE(de.entry("@"));  // AltGr only: typed as text

  injector->updateLayout(de);
  injector->typeText("zy\xC3\x9F@ Hi!\n\xC4\xB3\xF0\x9F\x98\x80");  // zyß@ Hi!⏎ĳ😀
  idle();
  // The return key types a carriage return.
  EXPECT_EQ(window.collect(20s, [](const Seen& s) { return s.text.size() >= 11; }).text, U"zy\u00DF@ Hi!\r\u0133\U0001F600");
  for (const char* key : {"z", "y", "\xC3\x9F", "@", "A"}) injector->pressKey(kit::Key(key), kit::Modifiers::none());
  idle();
  EXPECT_EQ(window.collect(20s, [](const Seen& s) { return s.text.size() >= 5; }).text, U"zy\u00DF@A");
  setLayout("us");
}

// The app model clears the callback before the injector it reaches goes
// away: clearing must wait for a call that is already running.
TEST_F(X11InputTest, ClearingTheLayoutCallbackWaitsForACallInFlight) {
  std::promise<void> entered;
  std::atomic<bool> inside{false}, finished{false};
  XkbKeyboardLayoutSource source("", logger);
  source.setOnChange([&] {
    if (inside.exchange(true)) return;  // only the first call is slow
    entered.set_value();
    std::this_thread::sleep_for(300ms);  // a slow keymap read
    finished = true;
  });
  auto called = entered.get_future();
  setLayout("de");
  bool wasCalled = called.wait_for(20s) == std::future_status::ready;
  source.setOnChange({});
  setLayout("us");
  ASSERT_TRUE(wasCalled) << "the layout switch was not announced";
  EXPECT_TRUE(finished) << "setOnChange returned while the old callback still ran";
}

TEST_F(X11InputTest, MediaKeysArriveAsXF86KeysymsAndPowerRequestsReportFailures) {
  // No system bus here (the address points nowhere): logind cannot be reached.
  platform::test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus");
  {
    LinuxSystemCommands runner(*input);
    platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger);  // media and power keys never ask it
    host::SystemCommands commands(runner, shortcuts, logger);
    using M = kit::MediaAction;
    for (auto a : {M::volumeUp, M::volumeDown, M::mute, M::playPause, M::nextTrack, M::previousTrack}) commands.performMedia(a);
    for (auto a : {kit::PowerAction::sleep, kit::PowerAction::lock, kit::PowerAction::displaySleep}) commands.performPower(a);
  }  // waits for the requests
  auto seen = window.collect(20s, [](const Seen& s) { return s.keysyms.size() >= 6; });
  EXPECT_EQ(seen.keysyms,
            (std::vector<KeySym>{0x1008FF13, 0x1008FF11, 0x1008FF12, 0x1008FF14, 0x1008FF17, 0x1008FF16}));
  EXPECT_TRUE(logs->contains("pmset sleepnow failed: "));
  EXPECT_TRUE(logs->contains("pmset locksession failed: "));
  int eventBase = 0, errorBase = 0;
  if (DPMSQueryExtension(d, &eventBase, &errorBase) && DPMSCapable(d)) {
    CARD16 level = 0;
    BOOL enabled = False;
    ASSERT_TRUE(DPMSInfo(d, &level, &enabled));
    EXPECT_EQ(level, DPMSModeOff);
    EXPECT_FALSE(logs->contains("pmset displaysleepnow failed"));
    DPMSForceLevel(d, DPMSModeOn);
    XSync(d, False);
  } else {
    EXPECT_TRUE(logs->contains("pmset displaysleepnow failed: the X display has no DPMS"));
  }
}

TEST_F(X11InputTest, PowerRequestFloodKeepsThreadsBoundedAndAnswersEveryRequest) {
  // A system bus that takes connections and never answers: every request
  // hangs on it until it goes away.
  platform::test::TempDir dir;
  std::string path = (dir.path() / "bus").string();
  asio::io_context io;
  asio::local::stream_protocol::acceptor listener(io, path);
  platform::test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str());
  using std::filesystem::directory_iterator;
  auto threads = [] { return std::distance(directory_iterator("/proc/self/task"), directory_iterator()); };
  auto before = threads(), most = before;
  constexpr int kRequests = 200;
  std::mutex mutex;
  std::vector<std::string> failures;
  {
    LinuxSystemCommands runner(*input);
    for (int i = 0; i < kRequests; ++i) {
      runner.startPower(i % 2 ? platform::PowerRequest::lockSession : platform::PowerRequest::suspend,
                        [&](std::string error) { std::lock_guard lock(mutex); failures.push_back(std::move(error)); });
    }
    for (int i = 0; i < 10; ++i, poll(nullptr, 0, 30)) most = std::max(most, threads());
    EXPECT_LE(most - before, 16) << "threads while " << kRequests << " requests hang";
    // The bus goes away: the hanging requests fail now.
    listener.close();
  }  // waits for the requests

  // Each request is answered once: run and failed on the bus, or refused.
  ASSERT_EQ(failures.size(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(std::count(failures.begin(), failures.end(), ""), 0);
  auto refused = std::ranges::count_if(failures, [](const std::string& f) { return f.find("too many power requests") != f.npos; });
  // The hanging bus held the first ones, so a flood is cut short, but some ran.
  EXPECT_TRUE(refused > 0 && refused < kRequests) << refused << " of " << kRequests << " refused";
  std::printf("power flood: %ld of %d refused, at most %ld threads more\n", long(refused), kRequests, long(most - before));
}

// An XSETTINGS blob in either byte order; a setting is its type (0 integer,
// 1 string, 2 colour), its name and its integer value or string length.
using Setting = std::tuple<std::uint8_t, std::string, std::uint32_t>;
std::vector<std::uint8_t> xsettings(bool big, const std::vector<Setting>& settings) {
  std::vector<std::uint8_t> b{std::uint8_t(big ? 1 : 0), 0, 0, 0};
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (big ? 24 - 8 * i : 8 * i)));
  };
  auto pad = [&] { b.resize((b.size() + 3) / 4 * 4); };
  u32(7);  // serial
  u32(static_cast<std::uint32_t>(settings.size()));
  for (const auto& [type, name, value] : settings) {
    auto n = static_cast<std::uint8_t>(name.size());
    b.insert(b.end(), {type, 0, std::uint8_t(big ? 0 : n), std::uint8_t(big ? n : 0)});
    b.insert(b.end(), name.begin(), name.end());
    pad();
    u32(0);  // last change
    if (type < 2) u32(value);
    b.resize(b.size() + (type == 1 ? value : type == 2 ? 8 : 0), 'x');
    pad();
  }
  return b;
}

TEST(XSettings, IntegerAndStringLookup) {
  using platform::linux_x11::xsettingsInteger;
  using platform::linux_x11::xsettingsString;
  for (bool big : {false, true}) {
    SCOPED_TRACE(big);
    auto blob = xsettings(big, {{1, "Net/ThemeName", 7}, {2, "Gtk/Color", 0}, {0, "Net/DoubleClickTime", 250},
                                {0, "Net/CursorBlink", 1}});
    EXPECT_EQ(xsettingsInteger(blob, "Net/DoubleClickTime"), 250);
    EXPECT_EQ(xsettingsInteger(blob, "Net/CursorBlink"), 1);
    EXPECT_FALSE(xsettingsInteger(blob, "Net/ThemeName")) << "a string is no integer";
    EXPECT_FALSE(xsettingsInteger(blob, "Net/Missing"));
    EXPECT_EQ(xsettingsString(blob, "Net/ThemeName"), "xxxxxxx");
    EXPECT_FALSE(xsettingsString(blob, "Net/CursorBlink")) << "an integer is no string";
    // Every truncation fails cleanly, never reading past the end.
    for (std::size_t n = 0; n + 8 < blob.size(); ++n) {
      EXPECT_FALSE(xsettingsInteger(std::span(blob.data(), n), "Net/CursorBlink")) << n;
      // The string ends the first setting: header, its head, padded name, serial, length, padded value.
      const bool whole = n >= 12 + 4 + 16 + 4 + 4 + 8;
      auto theme = xsettingsString(std::span(blob.data(), n), "Net/ThemeName");
      EXPECT_EQ(theme, whole ? std::optional<std::string>("xxxxxxx") : std::nullopt) << n;
    }
  }
  auto unknownType = xsettings(false, {{0, "A", 1}}), badOrder = unknownType, hugeCount = unknownType;
  unknownType[12] = 3;
  badOrder[0] = 2;
  hugeCount[11] = 0xFF;  // claims 2^24+ settings: the reads run out, the loop does not run on
  EXPECT_FALSE(xsettingsInteger(unknownType, "A"));
  EXPECT_FALSE(xsettingsInteger(badOrder, "A"));
  EXPECT_EQ(xsettingsInteger(hugeCount, "A"), 1);
  EXPECT_FALSE(xsettingsInteger(hugeCount, "B"));
}

// What the settings manager set, read back through its selection; nothing
// once no client owns it.
TEST(XSettings, ReadFromTheManager) {
  std::unique_ptr<Display, decltype(&XCloseDisplay)> d{XOpenDisplay(nullptr), &XCloseDisplay};
  ASSERT_TRUE(d);
  Window manager = XCreateSimpleWindow(d.get(), DefaultRootWindow(d.get()), 0, 0, 1, 1, 0, 0, 0);
  auto blob = xsettings(false, {{0, "Net/DoubleClickTime", 250}});
  Atom settings = XInternAtom(d.get(), "_XSETTINGS_SETTINGS", False);
  XChangeProperty(d.get(), manager, settings, settings, 8, PropModeReplace, blob.data(), static_cast<int>(blob.size()));
  std::string name = "_XSETTINGS_S" + std::to_string(DefaultScreen(d.get()));
  Atom selection = XInternAtom(d.get(), name.c_str(), False);
  XSetSelectionOwner(d.get(), selection, manager, CurrentTime);
  EXPECT_EQ(platform::linux_x11::readXSettings(d.get()), blob);
  XSetSelectionOwner(d.get(), selection, None, CurrentTime);
  EXPECT_EQ(platform::linux_x11::readXSettings(d.get()), std::vector<std::uint8_t>{});
  XDestroyWindow(d.get(), manager);
}

TEST(Accelerator, Parsing) {
  using platform::linux_x11::Accelerator;
  const std::pair<const char*, std::optional<Accelerator>> cases[] = {
      {"<Control><Alt>Left", Accelerator{0xC0000, "Left"}}, {"<Primary>F11", Accelerator{0x40000, "F11"}},
      {"<shift><ctrl>x", Accelerator{0x60000, "x"}},        {"<Mod1>Home", Accelerator{0x80000, "Home"}},
      {"Page_Down", Accelerator{0, "Page_Down"}},           {"<Super>Page_Up", std::nullopt},
      {"<Control><Super>d", std::nullopt},                  {"", std::nullopt},
      {"<Control", std::nullopt},                           {"<Control>", std::nullopt},
      {"<Control>a b", std::nullopt}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(platform::linux_x11::parseAccelerator(text), expected) << text;
}

TEST_F(X11InputTest, WindowShortcutsFollowTheDesktopKeybindings) {
  ASSERT_STREQ(g_getenv("GSETTINGS_BACKEND"), "memory") << "never touch the user's own settings";
  platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger);
  using platform::DesktopShortcut;
  using State = DesktopShortcut::State;
  GSettings* keys = g_settings_new("org.gnome.desktop.wm.keybindings");
  const char* left[] = {"<Super>Page_Up", "<Control><Alt>Left", nullptr};
  const char* right[] = {"<Super>Right", nullptr};
  g_settings_set_strv(keys, "switch-to-workspace-left", left);
  EXPECT_EQ(shortcuts.shortcut("79"), (DesktopShortcut{State::bound, 123, 0xC0000}));
  g_settings_set_strv(keys, "switch-to-workspace-right", right);
  EXPECT_EQ(shortcuts.shortcut("81"), (DesktopShortcut{State::notSet, 0, 0}));
  g_settings_set_strv(keys, "show-desktop", nullptr);  // an empty list: switched off
  EXPECT_EQ(shortcuts.shortcut("36"), (DesktopShortcut{State::disabled, 0, 0}));

  // The whole road: the desktop's binding is pressed through the injector.
  LinuxSystemCommands runner(*input);
  host::SystemCommands commands(runner, shortcuts, logger);
  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::spaceLeft, *injector));
  EXPECT_FALSE(commands.performMissionControl(kit::MissionControlAction::showDesktop, *injector));
  for (const char* key : {"show-desktop", "switch-to-workspace-left", "switch-to-workspace-right"}) g_settings_reset(keys, key);
  // The shipped default of show-desktop is an empty list: not the user's choice.
  for (const char* id : {"36", "99"}) EXPECT_EQ(shortcuts.shortcut(id), (DesktopShortcut{State::notSet, 0, 0})) << id;
  g_object_unref(keys);
  idle();
  auto seen = window.collect(20s, [](const Seen& s) { return s.keysyms.size() >= 3; });
  EXPECT_EQ(seen.keysyms, (std::vector<KeySym>{XK_Control_L, XK_Alt_L, XK_Left}));
}

TEST_F(X11InputTest, WithoutABindingTheWindowManagerIsAsked) {
  platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger);
  Window root = DefaultRootWindow(d);
  EXPECT_FALSE(shortcuts.performDirectly("81")) << "no window manager announced EWMH yet";
  // Play the window manager: announce the hints and watch the requests.
  auto atom = [this](const char* name) { return XInternAtom(d, name, False); };
  unsigned long supported[] = {atom("_NET_SHOWING_DESKTOP"), atom("_NET_CURRENT_DESKTOP")};
  long one = 1, three = 3;
  XChangeProperty(d, root, atom("_NET_SUPPORTED"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(supported), 2);
  XChangeProperty(d, root, supported[1], XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&one), 1);
  XChangeProperty(d, root, atom("_NET_NUMBER_OF_DESKTOPS"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&three), 1);
  XSelectInput(d, root, SubstructureNotifyMask);
  XSync(d, False);
  std::vector<bool> performed;
  for (const char* id : {"81", "79", "36", "32"}) performed.push_back(shortcuts.performDirectly(id));
  EXPECT_EQ(performed, (std::vector<bool>{true, true, true, false}));
  auto seen = window.collect(20s, [](const Seen& s) { return s.clientMessages.size() >= 3; });
  EXPECT_EQ(seen.clientMessages,
            (std::vector<std::pair<Atom, long>>{{supported[1], 2}, {supported[1], 0}, {supported[0], 1}}));
  XDeleteProperty(d, root, atom("_NET_SUPPORTED"));
  XSync(d, False);
}

}  // namespace
}  // namespace tillerpad
