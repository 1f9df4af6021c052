// The desktop backend chosen at start for each kind of session and the
// registry that opens it. The X11 backend's parts are the e2e tests'.
#include "platform/linux/desktop_backend.h"

#include <gtest/gtest.h>


namespace tillerpad::platform {
namespace {

TEST(ChooseBackend, EachSession) {
  struct Case {
    const char* session;
    SessionFacts facts;
    std::optional<BackendKind> forced, kind;
    bool degraded;
    const char* says;          // part of the line
    const char* saysNot = "";  // must not be in it
  };
  // waylandDisplaySet, x11DisplaySet, waylandConnected, wlrVirtualPointer, wlrScreencopy, mutterRemoteDesktop
  const Case cases[] = {
      {"X11", {false, true}, {}, BackendKind::x11, false, "Desktop backend: x11 (an X11 session"},
      {"GNOME on X11: XTest reaches every window", {false, true, false, false, false, true}, {}, BackendKind::x11,
       false, "x11 (an X11 session"},
      {"sway with Xwayland, a Mutter on the bus", {true, true, true, true, true, true}, {}, BackendKind::wlroots,
       false, "Desktop backend: wlroots ("},
      {"GNOME on Wayland with Xwayland", {true, true, true, false, false, true}, {}, BackendKind::gnome, false,
       "Desktop backend: gnome (org.gnome.Mutter.RemoteDesktop answers"},
      {"headless Mutter, no display variables", {false, false, false, false, false, true}, {}, BackendKind::gnome,
       false, "gnome ("},
      {"wlroots without screencopy, with Xwayland", {true, true, true, true, false}, {}, BackendKind::x11, true,
       "without the wlroots screencopy protocol and without GNOME's remote desktop: X11 through Xwayland reaches "
       "only Xwayland's windows",
       "virtual-pointer"},
      {"wlroots without the virtual pointer", {true, false, true, false, true}, {}, std::nullopt, true,
       "without the wlroots virtual-pointer protocol and", "screencopy"},
      {"another Wayland compositor", {true, false, true}, {}, std::nullopt, true,
       "Wayland session without the wlroots virtual-pointer and screencopy protocols and without GNOME's remote "
       "desktop: a phone can connect but not control this desktop"},
      {"a compositor that did not answer, with Xwayland", {true, true, false}, {}, BackendKind::x11, true,
       "Wayland session whose compositor did not answer and without GNOME's remote desktop: X11 through Xwayland"},
      {"nothing at all", {}, {}, std::nullopt, true,
       "neither $WAYLAND_DISPLAY nor $DISPLAY is set, and GNOME's remote desktop does not answer"},
      {"x11 forced in a sway session", {true, true, true, true, true}, BackendKind::x11, BackendKind::x11, false,
       "Desktop backend: x11 (chosen with --backend)"},
      {"gnome forced with nothing probed", {}, BackendKind::gnome, BackendKind::gnome, false, "gnome (chosen"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.session);
    auto choice = chooseBackend(c.facts, c.forced);
    EXPECT_EQ(choice.kind, c.kind);
    EXPECT_EQ(choice.degraded, c.degraded);
    EXPECT_NE(choice.line.find(c.says), std::string::npos) << choice.line;
    EXPECT_TRUE(!*c.saysNot || choice.line.find(c.saysNot) == std::string::npos) << choice.line;
    EXPECT_EQ(choice.line.find('\n'), std::string::npos) << "one log line";
  }
}

struct NamedBackend final : DesktopBackend {
  explicit NamedBackend(std::string_view n = "gnome") : n(n) {}
  std::string_view name() const override { return n; }
  std::string_view n;
};

// The status names the session's situation: the backend in use and what it
// needs, or without one what the session lacks; X11 keeps its old words.
TEST(UnavailableReasons, NameTheBackendOrWhatTheSessionLacks) {
  struct Case {
    const char* session;
    SessionFacts facts;
    std::optional<BackendKind> forced;
    const char* opened;  // the backend that opened; null: none
    const char* input;
    const char* screen;
  };
  // waylandDisplaySet, x11DisplaySet, waylandConnected, wlrVirtualPointer, wlrScreencopy, mutterRemoteDesktop
  const Case cases[] = {
      {"X11", {false, true}, {}, "x11", "no X display with the XTest extension", "the X display cannot be read"},
      {"X11 through Xwayland", {true, true, false}, {}, "x11", "no X display with the XTest extension",
       "the X display cannot be read"},
      {"sway", {true, false, true, true, true}, {}, "wlroots",
       "wlroots backend: the compositor refused the virtual pointer and keyboard, or is gone",
       "wlroots backend: the compositor offers no screencopy or sent no frame, or is gone"},
      {"GNOME on Wayland", {true, false, true, false, false, true}, {}, "gnome",
       "gnome backend: Mutter's remote desktop session did not start, or ended",
       "gnome backend: Mutter's screen cast did not start, or ended"},
      {"another Wayland compositor", {true, false, true}, {}, nullptr,
       "no desktop backend: Wayland session without the wlroots virtual-pointer and screencopy protocols and "
       "without GNOME's remote desktop",
       nullptr},
      {"a compositor that did not answer", {true, false, false}, {}, nullptr,
       "no desktop backend: Wayland session whose compositor did not answer and without GNOME's remote desktop",
       nullptr},
      {"nothing at all", {}, {}, nullptr,
       "no desktop backend: neither $WAYLAND_DISPLAY nor $DISPLAY is set, and GNOME's remote desktop does not "
       "answer on the session bus",
       nullptr},
      {"wlroots forced where it cannot open", {}, BackendKind::wlroots, nullptr,
       "no desktop backend: the wlroots backend could not be opened", nullptr},
      {"sway, chosen but not opened", {true, false, true, true, true}, {}, nullptr,
       "no desktop backend: the wlroots backend could not be opened", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.session);
    NamedBackend backend(c.opened ? c.opened : "");
    auto reasons = unavailableReasons(chooseBackend(c.facts, c.forced), c.opened ? &backend : nullptr);
    EXPECT_EQ(reasons.input, c.input);
    EXPECT_EQ(reasons.screen, c.screen ? c.screen : c.input);
  }
}

TEST(BackendRegistry, OpensByKindAndLogsWhatItCannotOpen) {
  auto sink = std::make_shared<kit::RecordingLogSink>();
  kit::Logger log(sink, "test", "app");
  BackendContext context{[&](std::string category) { return kit::Logger(sink, "test", std::move(category)); }, "", ""};
  BackendRegistry registry;
  registry.add(BackendKind::gnome, [](const BackendContext&) { return std::make_unique<NamedBackend>(); });
  registry.add(BackendKind::x11, [](const BackendContext&) { return std::unique_ptr<DesktopBackend>(); });

  auto gnome = registry.open(BackendKind::gnome, context, log);
  EXPECT_TRUE(gnome && gnome->name() == "gnome");
  EXPECT_FALSE(registry.open(BackendKind::x11, context, log));
  EXPECT_FALSE(registry.open(BackendKind::wlroots, context, log));
  EXPECT_EQ(sink->count("The x11 backend could not be opened: a phone can connect but not control this desktop"), 1u);
  EXPECT_EQ(sink->count("This build has no wlroots backend: a phone can connect but not control this desktop"), 1u);
  EXPECT_EQ(sink->records().size(), 2u);
}

}  // namespace
}  // namespace tillerpad::platform
