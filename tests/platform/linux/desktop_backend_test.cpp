// The desktop backend chosen at start for each kind of session, the
// registry that opens it, and the X11 backend's parts with and without a
// display.
#include "platform/linux/desktop_backend.h"

#include <gtest/gtest.h>

#include "platform/linux/x11_display.h"
#include "tests/support/child_process.h"

namespace tillerpad::platform {
namespace {

TEST(BackendKind, NamesRoundTripAndNothingElseParses) {
  for (auto kind : {BackendKind::x11, BackendKind::wlroots, BackendKind::gnome}) {
    EXPECT_EQ(parseBackendKind(backendName(kind)), kind);
  }
  for (const char* other : {"", "X11", "wayland", "x11 ", "gnome-shell", "portal"}) {
    EXPECT_EQ(parseBackendKind(other), std::nullopt) << other;
  }
}

TEST(ChooseBackend, EachSession) {
  struct Case {
    const char* session;
    SessionFacts facts;
    std::optional<BackendKind> forced;
    std::optional<BackendKind> kind;
    bool degraded;
    const char* says;          // part of the line
    const char* saysNot = "";  // must not be in it
  };
  // waylandDisplaySet, x11DisplaySet, waylandConnected, wlrVirtualPointer, wlrScreencopy, mutterRemoteDesktop
  const Case cases[] = {
      {"X11", {false, true}, {}, BackendKind::x11, false, "x11 (an X11 session"},
      {"GNOME on X11: XTest still reaches every window", {false, true, false, false, false, true}, {},
       BackendKind::x11, false, "x11 (an X11 session"},
      {"sway", {true, false, true, true, true}, {}, BackendKind::wlroots, false, "wlroots"},
      {"sway with Xwayland", {true, true, true, true, true}, {}, BackendKind::wlroots, false, "wlroots"},
      {"sway beside a Mutter on the same bus", {true, true, true, true, true, true}, {}, BackendKind::wlroots, false,
       "wlroots"},
      {"GNOME on Wayland with Xwayland", {true, true, true, false, false, true}, {}, BackendKind::gnome, false,
       "gnome (org.gnome.Mutter.RemoteDesktop answers"},
      {"GNOME on Wayland", {true, false, true, false, false, true}, {}, BackendKind::gnome, false, "gnome"},
      {"headless Mutter, no display variables", {false, false, false, false, false, true}, {}, BackendKind::gnome,
       false, "gnome"},
      {"wlroots compositor without screencopy, with Xwayland", {true, true, true, true, false}, {}, BackendKind::x11,
       true, "without the wlroots screencopy protocol and without GNOME's remote desktop: X11 through Xwayland reaches "
             "only Xwayland's windows",
       "virtual-pointer"},
      {"wlroots compositor without the virtual pointer", {true, false, true, false, true}, {}, std::nullopt, true,
       "without the wlroots virtual-pointer protocol and", "screencopy"},
      {"KDE-like Wayland session with Xwayland", {true, true, true}, {}, BackendKind::x11, true,
       "Wayland session without the wlroots virtual-pointer and screencopy protocols and without GNOME's remote "
       "desktop: X11 through Xwayland"},
      {"compositor that did not answer", {true, false, false}, {}, std::nullopt, true,
       "Wayland session whose compositor did not answer and without GNOME's remote desktop: a phone can connect but "
       "not control this desktop"},
      {"nothing at all", {}, {}, std::nullopt, true,
       "neither $WAYLAND_DISPLAY nor $DISPLAY is set, and GNOME's remote desktop does not answer"},
      {"x11 forced in a sway session", {true, true, true, true, true}, BackendKind::x11, BackendKind::x11, false,
       "x11 (chosen with --backend)"},
      {"wlroots forced in an X11 session", {false, true}, BackendKind::wlroots, BackendKind::wlroots, false,
       "wlroots (chosen with --backend)"},
      {"gnome forced with nothing probed", {}, BackendKind::gnome, BackendKind::gnome, false, "gnome (chosen"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.session);
    auto choice = chooseBackend(c.facts, c.forced);
    EXPECT_EQ(choice.kind, c.kind);
    EXPECT_EQ(choice.degraded, c.degraded);
    EXPECT_NE(choice.line.find(c.says), std::string::npos) << choice.line;
    if (*c.saysNot) {
      EXPECT_EQ(choice.line.find(c.saysNot), std::string::npos) << choice.line;
    }
    EXPECT_EQ(choice.line.find('\n'), std::string::npos) << "one log line";
    if (choice.kind && !c.degraded) {
      EXPECT_EQ(choice.line.rfind("Desktop backend: ", 0), 0u) << choice.line;
    }
  }
  // The message for a Wayland session the host cannot control, word for word.
  EXPECT_EQ(chooseBackend({true, false, true}, std::nullopt).line,
            "Wayland session without the wlroots virtual-pointer and screencopy protocols and without GNOME's remote "
            "desktop: a phone can connect but not control this desktop");
}

class NamedBackend final : public DesktopBackend {
 public:
  explicit NamedBackend(std::string name) : name_(std::move(name)) {}
  std::string_view name() const override { return name_; }

 private:
  std::string name_;
};

TEST(BackendRegistry, OpensByKindAndLogsWhatItCannotOpen) {
  auto sink = std::make_shared<kit::RecordingLogSink>();
  kit::Logger log(sink, "test", "app");
  BackendContext context{[&](std::string category) { return kit::Logger(sink, "test", std::move(category)); }, "", ""};
  BackendRegistry registry;
  registry.add(BackendKind::x11, [](const BackendContext& c) {
    c.logger("input").info("x11 factory ran");
    return std::make_unique<NamedBackend>("x11");
  });
  registry.add(BackendKind::gnome, [](const BackendContext&) { return std::make_unique<NamedBackend>("gnome"); });
  registry.add(BackendKind::gnome, [](const BackendContext&) { return std::unique_ptr<DesktopBackend>(); });

  auto x11 = registry.open(BackendKind::x11, context, log);
  ASSERT_TRUE(x11);
  EXPECT_EQ(x11->name(), "x11");
  EXPECT_EQ(sink->count("x11 factory ran"), 1u);

  EXPECT_FALSE(registry.open(BackendKind::gnome, context, log)) << "the later factory of a kind replaces the earlier";
  EXPECT_EQ(sink->count("The gnome backend could not be opened: a phone can connect but not control this desktop"), 1u);

  EXPECT_FALSE(registry.has(BackendKind::wlroots));
  EXPECT_FALSE(registry.open(BackendKind::wlroots, context, log));
  EXPECT_EQ(sink->count("This build has no wlroots backend: a phone can connect but not control this desktop"), 1u);
}

TEST(X11Backend, PartsWithAndWithoutADisplay) {
  linux_x11::prepareXlib();
  tillerpad::test::PrivateXvfb xvfb;
  ASSERT_TRUE(xvfb.running());
  auto sink = std::make_shared<kit::RecordingLogSink>();
  struct Case {
    std::string display;
    bool connected;
  };
  for (const auto& c : {Case{xvfb.name(), true}, Case{"unix:/nonexistent/tillerpad-no-x", false}}) {
    SCOPED_TRACE(c.display);
    auto backend = linux_x11::openX11Backend(
        {[&](std::string category) { return kit::Logger(sink, "test", std::move(category)); }, c.display, ""});
    ASSERT_TRUE(backend);
    EXPECT_EQ(backend->name(), "x11");
    for (bool present : {backend->input() != nullptr, backend->displays() != nullptr,
                         backend->keyboardLayouts() != nullptr, backend->systemCommands() != nullptr,
                         backend->screenCapture() != nullptr, backend->pasteboard() != nullptr}) {
      EXPECT_EQ(present, c.connected);
    }
    // What works or answers "no" without a display is there either way.
    ASSERT_TRUE(backend->permissions());
    EXPECT_EQ(backend->permissions()->canSynthesizeInput(), c.connected);
    EXPECT_TRUE(backend->shortcuts());
    EXPECT_TRUE(backend->openAppWorkspace());
    if (c.connected) {
      EXPECT_FALSE(backend->displays()->activeDisplays().empty());
    }
    EXPECT_EQ(sink->contains("No X display with the XTest extension"), !c.connected);
  }
}

}  // namespace
}  // namespace tillerpad::platform
