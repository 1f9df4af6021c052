// Runs the X11 adapters against a real X server (Xvfb, started by
// with_xvfb.sh) and watches what arrives at a window of the test's own.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "host/input/input_injector.h"
#include "host/input/keyboard_layout_map.h"
#include "host/input/system_commands.h"
#include "platform/desktop_shortcuts.h"
#include "platform/linux/gnome_desktop_shortcuts.h"
#include "platform/linux/linux_system_commands.h"
#include "platform/linux/x11_input.h"
#include "platform/linux/xsettings.h"
#include "platform/linux/xkb_keyboard_layout.h"

#include <gio/gio.h>

// Last: Xlib's macros (None, Status ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
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
using platform::linux_x11::X11Input;
using platform::linux_x11::XkbKeyboardLayoutSource;

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

// What the test's window saw.
struct Seen {
  std::vector<std::pair<int, unsigned int>> buttons;  // (event type, button)
  std::vector<unsigned int> motionStates;
  std::u32string text;
  std::vector<KeySym> keysyms;
  std::vector<std::pair<Atom, long>> clientMessages;  // sent to the root window
};

// A full-screen window that takes the keyboard focus, as an application would.
class TestWindow {
 public:
  TestWindow() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    Display* d = display_.get();
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    window_ = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 1280, 800, 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(d, window_);
    XSync(d, False);
    XSetInputFocus(d, window_, RevertToParent, CurrentTime);
    XSync(d, False);
    drain(100ms);
  }

  bool ok() const { return display_ != nullptr; }

  // Reads events until `enough` says so or the time limit passes.
  Seen collect(std::chrono::milliseconds limit, const std::function<bool(const Seen&)>& enough) {
    Seen seen;
    Display* d = display_.get();
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!enough(seen)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (XPending(d) == 0) {
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left.count()));
        continue;
      }
      XEvent event;
      XNextEvent(d, &event);
      switch (event.type) {
        case MappingNotify:
          XRefreshKeyboardMapping(&event.xmapping);
          break;
        case ButtonPress:
        case ButtonRelease:
          seen.buttons.emplace_back(event.type, event.xbutton.button);
          break;
        case ClientMessage:
          seen.clientMessages.emplace_back(event.xclient.message_type, event.xclient.data.l[0]);
          break;
        case MotionNotify:
          seen.motionStates.push_back(event.xmotion.state);
          break;
        case KeyPress: {
          char buffer[32];
          KeySym sym = NoSymbol;
          XLookupString(&event.xkey, buffer, sizeof buffer, &sym, nullptr);
          if (sym == NoSymbol) break;
          seen.keysyms.push_back(sym);
          if (char32_t c = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(sym))) seen.text.push_back(c);
          break;
        }
      }
    }
    return seen;
  }

  void drain(std::chrono::milliseconds limit) {
    collect(limit, [](const Seen&) { return false; });
  }

  Display* display() const { return display_.get(); }

 private:
  std::unique_ptr<Display, DisplayCloser> display_;
  Window window_ = 0;
};

std::u32string utf32(const char* utf8) {
  std::u32string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p;) {
    char32_t c = *p;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
    ++p;
    for (int i = 0; i < extra; ++i) c = (c << 6) | (*p++ & 0x3F);
    out.push_back(c);
  }
  return out;
}

// Sets an environment variable for one scope and puts the old value back,
// whatever the test's assertions do.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

constexpr const char* kNoBus = "unix:path=/nonexistent/tillerpad-test-bus";

void setLayout(const char* layout) {
  std::string command = std::string("setxkbmap ") + layout;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class X11InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through with_xvfb.sh";
    ASSERT_TRUE(window.ok());
    input = X11Input::open("", logger);
    ASSERT_TRUE(input);
    injector = std::make_unique<InputInjector>(*input, *input, input->doubleClickInterval(), logger);
  }

  void TearDown() override {
    if (injector) EXPECT_TRUE(injector->waitIdle(5s));
  }

  void idle() { ASSERT_TRUE(injector->waitIdle(5s)); }

  Seen typedText(std::size_t characters) {
    return window.collect(5s, [characters](const Seen& s) { return s.text.size() >= characters; });
  }

  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger{logs, "Tillerpad", "input"};
  TestWindow window;
  std::unique_ptr<X11Input> input;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(X11InputTest, DisplaysComeFromTheServer) {
  auto displays = input->activeDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].bounds, (platform::Rect{0, 0, 1280, 800}));
}

TEST_F(X11InputTest, PointerEndsWhereTheInjectorPutIt) {
  injector->clickAt(input->activeDisplays()[0].id, 0.25, 0.5, MouseButton::left);
  idle();
  EXPECT_EQ(input->cursorLocation(), (platform::Point{320, 400}));

  injector->applyFastEvents({kit::FastEvent::pointerMove(2, 0), kit::FastEvent::pointerMove(0, 3)});
  idle();
  auto moved = input->cursorLocation();
  ASSERT_TRUE(moved);
  EXPECT_GT(moved->x, 320);
  EXPECT_GT(moved->y, 400);

  // Far past the bottom-right corner: the pointer stays on the display.
  injector->applyFastEvents({kit::FastEvent::pointerMove(5000, 5000)});
  idle();
  EXPECT_EQ(input->cursorLocation(), (platform::Point{1279, 799}));
}

TEST_F(X11InputTest, ClicksDragsAndScrollsArriveAsButtons) {
  injector->clickAt(input->activeDisplays()[0].id, 0.5, 0.5, MouseButton::right);
  injector->handleButton({MouseButton::left, Action::down});
  injector->applyFastEvents({kit::FastEvent::pointerMove(10, 0), kit::FastEvent::pointerMove(10, 0)});
  injector->handleButton({MouseButton::left, Action::up});
  injector->handleButton({MouseButton::middle, Action::click});
  injector->applySettings({1.5, 1.0, 1.0, true});
  injector->applyFastEvents({kit::FastEvent::scroll(0, 40)});   // 64 px: two clicks up
  injector->applyFastEvents({kit::FastEvent::scroll(-20, 0)});  // 32 px to the right
  idle();
  auto seen = window.collect(5s, [](const Seen& s) { return s.buttons.size() >= 12; });
  std::vector<std::pair<int, unsigned int>> expected{
      {ButtonPress, 3}, {ButtonRelease, 3}, {ButtonPress, 1}, {ButtonRelease, 1}, {ButtonPress, 2},
      {ButtonRelease, 2}, {ButtonPress, 4}, {ButtonRelease, 4}, {ButtonPress, 4}, {ButtonRelease, 4},
      {ButtonPress, 7}, {ButtonRelease, 7}};
  EXPECT_EQ(seen.buttons, expected);
  bool dragged = false;
  for (unsigned int state : seen.motionStates) dragged = dragged || (state & Button1Mask);
  EXPECT_TRUE(dragged) << "no motion with the left button held";
}

TEST_F(X11InputTest, TextArrivesUnderUsAndGermanLayouts) {
  XkbKeyboardLayoutSource source("", logger);
  for (const char* layout : {"us", "de"}) {
    SCOPED_TRACE(layout);
    setLayout(layout);
    window.drain(100ms);
    injector->updateLayout(KeyboardLayoutMap::current(source));
    const char* text = "zy\xC3\x9F@ Hi!\n\xC4\xB3\xF0\x9F\x98\x80";  // zyß@ Hi!⏎ĳ😀
    injector->typeText(text);
    idle();
    auto typed = typedText(11);
    std::u32string expected = utf32(text);
    expected[8] = U'\r';  // the return key types a carriage return
    EXPECT_EQ(typed.text, expected);

    for (const char* key : {"z", "y", "\xC3\x9F", "@", "A"}) injector->pressKey(kit::Key(key), kit::Modifiers::none());
    idle();
    EXPECT_EQ(typedText(5).text, utf32("zy\xC3\x9F@A"));
  }
  setLayout("us");
}

TEST_F(X11InputTest, LayoutMapReadsTheServerKeymap) {
  XkbKeyboardLayoutSource source("", logger);
  std::atomic<int> changes{0};
  source.setOnChange([&] { ++changes; });

  setLayout("us");
  auto us = KeyboardLayoutMap::current(source);
  using Entry = KeyboardLayoutMap::Entry;
  EXPECT_EQ(us.entry("a"), (Entry{0, false}));
  EXPECT_EQ(us.entry("A"), (Entry{0, true}));
  EXPECT_EQ(us.entry("1"), (Entry{18, false}));  // the main row beats the keypad
  EXPECT_EQ(us.entry("!"), (Entry{18, true}));
  EXPECT_EQ(us.entry("z"), (Entry{6, false}));
  EXPECT_FALSE(us.entry(" "));
  EXPECT_FALSE(us.entry("\xC3\x9F"));

  int before = changes;
  setLayout("de");
  auto de = KeyboardLayoutMap::current(source);
  EXPECT_EQ(de.entry("z"), (Entry{16, false}));
  EXPECT_EQ(de.entry("y"), (Entry{6, false}));
  EXPECT_EQ(de.entry("\xC3\x9F"), (Entry{27, false}));
  EXPECT_EQ(de.entry("\xC3\xB6"), (Entry{41, false}));  // ö
  EXPECT_EQ(de.entry("\xC3\x96"), (Entry{41, true}));   // Ö
  EXPECT_FALSE(de.entry("@"));                          // AltGr only: typed as text
  // The watcher saw the switch (it polls, so allow it a moment).
  for (int i = 0; i < 50 && changes == before; ++i) window.drain(100ms);
  EXPECT_GT(changes, before);
  setLayout("us");
}

// The app model clears the callback before the injector it reaches goes
// away: clearing must wait for a call that is already running.
TEST_F(X11InputTest, ClearingTheLayoutCallbackWaitsForACallInFlight) {
  std::mutex mutex;
  std::condition_variable entered;
  bool inside = false;
  std::atomic<bool> finished{false};
  XkbKeyboardLayoutSource source("", logger);
  source.setOnChange([&] {
    {
      std::lock_guard lock(mutex);
      if (inside) return;  // only the first call is slow
      inside = true;
    }
    entered.notify_all();
    std::this_thread::sleep_for(300ms);  // a slow keymap read
    finished = true;
  });
  setLayout("de");
  bool called = false;
  {
    std::unique_lock lock(mutex);
    called = entered.wait_for(lock, 5s, [&] { return inside; });
  }
  source.setOnChange({});
  setLayout("us");
  ASSERT_TRUE(called) << "the layout switch was not announced";
  EXPECT_TRUE(finished) << "setOnChange returned while the old callback still ran";
}

TEST_F(X11InputTest, MediaKeysArriveAsXF86Keysyms) {
  platform::linux_x11::LinuxSystemCommands runner(*input);
  struct NoShortcuts : platform::DesktopShortcuts {
    platform::DesktopShortcut shortcut(std::string_view) override { return {}; }
    bool performDirectly(std::string_view) override { return false; }
  } shortcuts;
  host::SystemCommands commands(runner, shortcuts, logger);
  for (const auto& action : {kit::MediaAction::volumeUp, kit::MediaAction::volumeDown, kit::MediaAction::mute,
                             kit::MediaAction::playPause, kit::MediaAction::nextTrack,
                             kit::MediaAction::previousTrack}) {
    commands.performMedia(action);
  }
  auto seen = window.collect(5s, [](const Seen& s) { return s.keysyms.size() >= 6; });
  EXPECT_EQ(seen.keysyms, (std::vector<KeySym>{0x1008FF13, 0x1008FF11, 0x1008FF12, 0x1008FF14, 0x1008FF17,
                                               0x1008FF16}));
}

TEST_F(X11InputTest, PowerRequestsReportFailuresWithTheirTexts) {
  // No system bus here (the address points nowhere): logind cannot be reached.
  ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", kNoBus);
  {
    platform::linux_x11::LinuxSystemCommands runner(*input);
    struct NoShortcuts : platform::DesktopShortcuts {
      platform::DesktopShortcut shortcut(std::string_view) override { return {}; }
      bool performDirectly(std::string_view) override { return false; }
    } shortcuts;
    host::SystemCommands commands(runner, shortcuts, logger);
    commands.performPower(kit::PowerAction::sleep);
    commands.performPower(kit::PowerAction::lock);
    commands.performPower(kit::PowerAction::displaySleep);
  }  // waits for the requests
  EXPECT_TRUE(logs->contains("pmset sleepnow failed: "));
  EXPECT_TRUE(logs->contains("pmset locksession failed: "));

  int eventBase = 0, errorBase = 0;
  if (DPMSQueryExtension(window.display(), &eventBase, &errorBase) && DPMSCapable(window.display())) {
    CARD16 level = 0;
    BOOL enabled = False;
    ASSERT_TRUE(DPMSInfo(window.display(), &level, &enabled));
    EXPECT_EQ(level, DPMSModeOff);
    EXPECT_FALSE(logs->contains("pmset displaysleepnow failed"));
    DPMSForceLevel(window.display(), DPMSModeOn);
    XSync(window.display(), False);
  } else {
    EXPECT_TRUE(logs->contains("pmset displaysleepnow failed: the X display has no DPMS"));
  }
}

TEST_F(X11InputTest, PowerRequestFloodKeepsThreadsBoundedAndAnswersEveryRequest) {
  // A system bus that takes connections and never answers: every request
  // hangs on it until it goes away.
  std::string path = (std::filesystem::temp_directory_path() / ("tillerpad-bus-" + std::to_string(getpid()))).string();
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ::unlink(path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 512), 0);
  ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
  auto threads = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator());
  };
  auto before = threads();

  constexpr int kRequests = 200;
  std::mutex mutex;
  std::vector<std::string> failures;
  long most = 0;
  {
    platform::linux_x11::LinuxSystemCommands runner(*input);
    for (int i = 0; i < kRequests; ++i) {
      runner.startPower(i % 2 ? platform::PowerRequest::lockSession : platform::PowerRequest::suspend,
                        [&](std::string error) {
                          std::lock_guard lock(mutex);
                          failures.push_back(std::move(error));
                        });
    }
    for (int i = 0; i < 10; ++i) {
      most = std::max(most, static_cast<long>(threads()));
      poll(nullptr, 0, 30);
    }
    EXPECT_LE(most - before, 16) << "threads while " << kRequests << " requests hang";
    // The bus goes away: the hanging requests fail now.
    ::close(listener);
    ::unlink(path.c_str());
  }  // waits for the requests

  // Each request is answered once: run and failed on the bus, or refused.
  ASSERT_EQ(failures.size(), static_cast<std::size_t>(kRequests));
  std::size_t refused = 0;
  for (const auto& f : failures) {
    EXPECT_FALSE(f.empty());
    refused += f.find("too many power requests") != std::string::npos ? 1 : 0;
  }
  EXPECT_LT(refused, static_cast<std::size_t>(kRequests)) << "some requests must run";
  EXPECT_GT(refused, 0u) << "the hanging bus held the first ones, so a flood is cut short";
  std::printf("power flood: %d requests, %zu refused, at most %ld threads more than before\n", kRequests, refused,
              most - before);
}

// An XSETTINGS blob in either byte order.
class XSettingsBlob {
 public:
  explicit XSettingsBlob(bool bigEndian) : big_(bigEndian) {
    bytes.push_back(bigEndian ? 1 : 0);
    bytes.resize(4);
    u32(7);  // serial
    u32(0);  // count, patched as settings are added
  }
  XSettingsBlob& integer(const std::string& name, std::uint32_t value) {
    head(0, name);
    u32(value);
    return *this;
  }
  XSettingsBlob& string(const std::string& name, const std::string& value) {
    head(1, name);
    u32(static_cast<std::uint32_t>(value.size()));
    bytes.insert(bytes.end(), value.begin(), value.end());
    bytes.resize(bytes.size() + (4 - value.size() % 4) % 4);
    return *this;
  }
  XSettingsBlob& color(const std::string& name) {
    head(2, name);
    bytes.resize(bytes.size() + 8, 0xFF);
    return *this;
  }
  std::vector<std::uint8_t> bytes;

 private:
  void head(std::uint8_t type, const std::string& name) {
    bytes.push_back(type);
    bytes.push_back(0);
    auto n = static_cast<std::uint16_t>(name.size());
    if (big_) {
      bytes.push_back(static_cast<std::uint8_t>(n >> 8));
      bytes.push_back(static_cast<std::uint8_t>(n));
    } else {
      bytes.push_back(static_cast<std::uint8_t>(n));
      bytes.push_back(static_cast<std::uint8_t>(n >> 8));
    }
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.resize(bytes.size() + (4 - name.size() % 4) % 4);
    u32(0);  // last change
    std::size_t countAt = 8;
    std::uint32_t count = ++count_;
    for (int i = 0; i < 4; ++i) {
      bytes[countAt + static_cast<std::size_t>(i)] =
          static_cast<std::uint8_t>(count >> (big_ ? 24 - 8 * i : 8 * i));
    }
  }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (big_ ? 24 - 8 * i : 8 * i)));
  }
  bool big_;
  std::uint32_t count_ = 0;
};

TEST(XSettings, IntegerLookup) {
  using platform::linux_x11::xsettingsInteger;
  for (bool big : {false, true}) {
    auto blob = XSettingsBlob(big)
                    .string("Net/ThemeName", "Adwaita")
                    .color("Gtk/Color")
                    .integer("Net/DoubleClickTime", 250)
                    .integer("Net/CursorBlink", 1)
                    .bytes;
    EXPECT_EQ(xsettingsInteger(blob, "Net/DoubleClickTime"), 250) << big;
    EXPECT_EQ(xsettingsInteger(blob, "Net/CursorBlink"), 1) << big;
    EXPECT_FALSE(xsettingsInteger(blob, "Net/ThemeName")) << "a string is no integer";
    EXPECT_FALSE(xsettingsInteger(blob, "Net/Missing"));
    // Every truncation fails cleanly, never reading past the end.
    for (std::size_t n = 0; n + 8 < blob.size(); ++n) {
      EXPECT_FALSE(xsettingsInteger(std::span(blob.data(), n), "Net/CursorBlink")) << n;
    }
  }
  auto unknownType = XSettingsBlob(false).integer("A", 1).bytes;
  unknownType[12] = 3;
  EXPECT_FALSE(xsettingsInteger(unknownType, "A"));
  auto badOrder = XSettingsBlob(false).integer("A", 1).bytes;
  badOrder[0] = 2;
  EXPECT_FALSE(xsettingsInteger(badOrder, "A"));
  auto hugeCount = XSettingsBlob(false).integer("A", 1).bytes;
  hugeCount[11] = 0xFF;  // claims 2^24+ settings: the reads run out, the loop does not run on
  EXPECT_EQ(xsettingsInteger(hugeCount, "A"), 1);
  EXPECT_FALSE(xsettingsInteger(hugeCount, "B"));
}

TEST_F(X11InputTest, DoubleClickIntervalFollowsTheSettingsManager) {
  // Play the settings manager: own the selection and publish the setting.
  Display* d = window.display();
  Window manager = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom settings = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
  auto blob = XSettingsBlob(false).integer("Net/DoubleClickTime", 250).bytes;
  XChangeProperty(d, manager, settings, settings, 8, PropModeReplace, blob.data(), static_cast<int>(blob.size()));
  XSetSelectionOwner(d, XInternAtom(d, "_XSETTINGS_S0", False), manager, CurrentTime);
  XSync(d, False);
  EXPECT_DOUBLE_EQ(input->doubleClickInterval(), 0.25);
  XDestroyWindow(d, manager);  // the selection goes with its owner
  XSync(d, False);
  EXPECT_NE(input->doubleClickInterval(), 0.25);
}

TEST(Accelerator, Parsing) {
  using platform::linux_x11::Accelerator;
  using platform::linux_x11::parseAccelerator;
  struct Case {
    const char* text;
    std::optional<Accelerator> expected;
  };
  for (const Case& c : {Case{"<Control><Alt>Left", Accelerator{0xC0000, "Left"}},
                        Case{"<Primary>F11", Accelerator{0x40000, "F11"}},
                        Case{"<shift><ctrl>x", Accelerator{0x60000, "x"}},
                        Case{"<Mod1>Home", Accelerator{0x80000, "Home"}}, Case{"Page_Down", Accelerator{0, "Page_Down"}},
                        Case{"<Super>Page_Up", std::nullopt}, Case{"<Control><Super>d", std::nullopt},
                        Case{"", std::nullopt}, Case{"<Control", std::nullopt}, Case{"<Control>", std::nullopt},
                        Case{"<Control>a b", std::nullopt}}) {
    EXPECT_EQ(parseAccelerator(c.text), c.expected) << c.text;
  }
}

void setBindings(const char* key, std::vector<const char*> accelerators) {
  GSettings* settings = g_settings_new("org.gnome.desktop.wm.keybindings");
  accelerators.push_back(nullptr);
  ASSERT_TRUE(g_settings_set_strv(settings, key, accelerators.data()));
  g_object_unref(settings);
}

void resetBinding(const char* key) {
  GSettings* settings = g_settings_new("org.gnome.desktop.wm.keybindings");
  g_settings_reset(settings, key);
  g_object_unref(settings);
}

TEST_F(X11InputTest, WindowShortcutsFollowTheDesktopKeybindings) {
  ASSERT_STREQ(g_getenv("GSETTINGS_BACKEND"), "memory") << "never touch the user's own settings";
  platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger);
  using platform::DesktopShortcut;
  using State = DesktopShortcut::State;

  setBindings("switch-to-workspace-left", {"<Super>Page_Up", "<Control><Alt>Left"});
  EXPECT_EQ(shortcuts.shortcut("79"), (DesktopShortcut{State::bound, 123, 0xC0000}));
  setBindings("switch-to-workspace-right", {"<Super>Right"});
  EXPECT_EQ(shortcuts.shortcut("81"), (DesktopShortcut{State::notSet, 0, 0}));
  setBindings("show-desktop", {});
  EXPECT_EQ(shortcuts.shortcut("36"), (DesktopShortcut{State::disabled, 0, 0}));
  resetBinding("show-desktop");  // the shipped default is an empty list: not the user's choice
  EXPECT_EQ(shortcuts.shortcut("36"), (DesktopShortcut{State::notSet, 0, 0}));
  EXPECT_EQ(shortcuts.shortcut("99"), (DesktopShortcut{State::notSet, 0, 0}));

  // The whole road: the desktop's binding is pressed through the injector.
  platform::linux_x11::LinuxSystemCommands runner(*input);
  host::SystemCommands commands(runner, shortcuts, logger);
  EXPECT_TRUE(commands.performMissionControl(kit::MissionControlAction::spaceLeft, *injector));
  setBindings("show-desktop", {});
  EXPECT_FALSE(commands.performMissionControl(kit::MissionControlAction::showDesktop, *injector));
  EXPECT_TRUE(logs->contains("No shortcut for showDesktop (turned off?)"));
  resetBinding("show-desktop");
  resetBinding("switch-to-workspace-left");
  resetBinding("switch-to-workspace-right");
  idle();
  auto seen = window.collect(5s, [](const Seen& s) { return s.keysyms.size() >= 3; });
  EXPECT_EQ(seen.keysyms, (std::vector<KeySym>{XK_Control_L, XK_Alt_L, XK_Left}));
}

TEST_F(X11InputTest, WithoutABindingTheWindowManagerIsAsked) {
  platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger);
  Display* d = window.display();
  Window root = DefaultRootWindow(d);
  EXPECT_FALSE(shortcuts.performDirectly("81")) << "no window manager announced EWMH yet";

  // Play the window manager: announce the hints and watch the requests.
  Atom showing = XInternAtom(d, "_NET_SHOWING_DESKTOP", False);
  Atom current = XInternAtom(d, "_NET_CURRENT_DESKTOP", False);
  unsigned long supported[] = {showing, current};
  XChangeProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(supported), 2);
  long one = 1, three = 3;
  XChangeProperty(d, root, current, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&one), 1);
  XChangeProperty(d, root, XInternAtom(d, "_NET_NUMBER_OF_DESKTOPS", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&three), 1);
  XSelectInput(d, root, SubstructureNotifyMask);
  XSync(d, False);

  EXPECT_TRUE(shortcuts.performDirectly("81"));
  EXPECT_TRUE(shortcuts.performDirectly("79"));
  EXPECT_TRUE(shortcuts.performDirectly("36"));
  EXPECT_FALSE(shortcuts.performDirectly("32"));
  auto seen = window.collect(5s, [](const Seen& s) { return s.clientMessages.size() >= 3; });
  EXPECT_EQ(seen.clientMessages,
            (std::vector<std::pair<Atom, long>>{{current, 2}, {current, 0}, {showing, 1}}));
  XDeleteProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False));
  XSync(d, False);
}

}  // namespace
}  // namespace tillerpad
