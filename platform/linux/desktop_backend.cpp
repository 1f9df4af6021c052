#include "platform/linux/desktop_backend.h"

#include <vector>

#include "platform/linux/gnome_desktop_shortcuts.h"
#include "platform/linux/linux_app_workspace.h"
#include "platform/linux/linux_system_commands.h"
#include "platform/linux/x11_input.h"
#include "platform/linux/x11_pasteboard.h"
#include "platform/linux/x11_permission_probe.h"
#include "platform/linux/x11_screen_capture.h"
#include "platform/linux/xkb_keyboard_layout.h"

namespace tillerpad::platform {

namespace {

constexpr std::string_view noControl = "a phone can connect but not control this desktop";

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

// Why neither Wayland backend applies, for a session with $WAYLAND_DISPLAY.
std::string whatWaylandLacks(const SessionFacts& facts) {
  std::string text;
  if (!facts.waylandConnected) {
    text = "Wayland session whose compositor did not answer";
  } else {
    std::vector<std::string> missing;
    if (!facts.wlrVirtualPointer) missing.push_back("virtual-pointer");
    if (!facts.wlrScreencopy) missing.push_back("screencopy");
    text = "Wayland session without the wlroots " + joined(missing) +
           (missing.size() > 1 ? " protocols" : " protocol");
  }
  return text + " and without GNOME's remote desktop";
}

}  // namespace

std::string_view backendName(BackendKind kind) {
  switch (kind) {
    case BackendKind::x11: return "x11";
    case BackendKind::wlroots: return "wlroots";
    case BackendKind::gnome: return "gnome";
  }
  return "?";
}

std::optional<BackendKind> parseBackendKind(std::string_view name) {
  for (auto kind : {BackendKind::x11, BackendKind::wlroots, BackendKind::gnome}) {
    if (backendName(kind) == name) return kind;
  }
  return std::nullopt;
}

BackendChoice chooseBackend(const SessionFacts& facts, std::optional<BackendKind> forced) {
  auto chosen = [](BackendKind kind, std::string why, bool degraded = false) {
    return BackendChoice{kind, "Desktop backend: " + std::string(backendName(kind)) + " (" + why + ")", degraded};
  };
  if (forced) return chosen(*forced, "chosen with --backend");
  if (facts.waylandDisplaySet && facts.wlrVirtualPointer && facts.wlrScreencopy) {
    return chosen(BackendKind::wlroots, "the Wayland compositor offers the wlroots virtual-pointer and screencopy protocols");
  }
  // XTest reaches every window of an X session, GNOME's included: the X11
  // backend stays the one for it.
  if (facts.x11DisplaySet && !facts.waylandDisplaySet) return chosen(BackendKind::x11, "an X11 session: $DISPLAY without $WAYLAND_DISPLAY");
  if (facts.mutterRemoteDesktop) return chosen(BackendKind::gnome, "org.gnome.Mutter.RemoteDesktop answers on the session bus");
  if (facts.waylandDisplaySet && facts.x11DisplaySet) {
    return chosen(BackendKind::x11,
                  whatWaylandLacks(facts) + ": X11 through Xwayland reaches only Xwayland's windows, not the Wayland ones",
                  true);
  }
  if (facts.waylandDisplaySet) {
    return {std::nullopt, whatWaylandLacks(facts) + ": " + std::string(noControl), true, whatWaylandLacks(facts)};
  }
  std::string none = "neither $WAYLAND_DISPLAY nor $DISPLAY is set, and GNOME's remote desktop does not answer on the session bus";
  return {std::nullopt, "No desktop session: " + none + ": " + std::string(noControl), true, none};
}

UnavailableReasons unavailableReasons(const BackendChoice& choice, const DesktopBackend* opened) {
  if (!opened) {
    std::string why = "no desktop backend: " + (choice.kind ? "the " + std::string(backendName(*choice.kind)) +
                                                                  " backend could not be opened"
                                                            : choice.lacking);
    return {why, why};
  }
  auto name = opened->name();
  // The X11 wording is older than the other backends; scripts and the docs quote it.
  if (name == "x11") return {"no X display with the XTest extension", "the X display cannot be read"};
  if (name == "wlroots") {
    return {"wlroots backend: the compositor refused the virtual pointer and keyboard, or is gone",
            "wlroots backend: the compositor offers no screencopy or sent no frame, or is gone"};
  }
  if (name == "gnome") {
    return {"gnome backend: Mutter's remote desktop session did not start, or ended",
            "gnome backend: Mutter's screen cast did not start, or ended"};
  }
  std::string prefix = std::string(name) + " backend: ";
  return {prefix + "the desktop does not accept input from it", prefix + "the desktop does not let it capture the screen"};
}

std::unique_ptr<DesktopBackend> BackendRegistry::open(BackendKind kind, const BackendContext& context,
                                                      const kit::Logger& log) const {
  auto name = std::string(backendName(kind));
  auto factory = factories_.find(kind);
  if (factory == factories_.end()) {
    log.error("This build has no " + name + " backend: " + std::string(noControl));
    return nullptr;
  }
  auto backend = factory->second(context);
  if (!backend) log.error("The " + name + " backend could not be opened: " + std::string(noControl));
  return backend;
}

namespace linux_x11 {

namespace {

class X11Backend final : public DesktopBackend {
 public:
  explicit X11Backend(const BackendContext& context)
      : context_(context),
        permissions_(context.x11Display, context.logger("permissions")),
        input_(X11Input::open(context.x11Display, context.logger("input"))),
        shortcuts_(context.x11Display, context.logger("shortcuts")) {
    if (input_) {
      commands_ = std::make_unique<LinuxSystemCommands>(*input_);
      layouts_ = std::make_unique<XkbKeyboardLayoutSource>(context.x11Display, context.logger("keyboard-layout"));
      screen_ = std::make_unique<X11ScreenCapture>(context.x11Display, context.logger("screen"));
      pasteboard_ = std::make_unique<X11Pasteboard>(X11Pasteboard::Options{context.x11Display}, context.logger("clipboard"));
    } else {
      context.logger("app").error("No X display with the XTest extension: " + std::string(noControl));
    }
  }

  std::string_view name() const override { return "x11"; }
  InputEventSink* input() override { return input_.get(); }
  DisplayQuery* displays() override { return input_.get(); }
  KeyboardLayoutSource* keyboardLayouts() override { return layouts_.get(); }
  SystemCommandRunner* systemCommands() override { return commands_.get(); }
  DesktopShortcuts* shortcuts() override { return &shortcuts_; }
  ScreenCapture* screenCapture() override { return screen_.get(); }
  Pasteboard* pasteboard() override { return pasteboard_.get(); }
  PermissionProbe* permissions() override { return &permissions_; }
  // Installed applications are listed without a display too; running ones need one.
  std::unique_ptr<AppWorkspace> openAppWorkspace() override {
    return linux_apps::openLinuxAppWorkspace(context_.x11Display, context_.logger("apps"));
  }

 private:
  BackendContext context_;
  X11PermissionProbe permissions_;
  std::unique_ptr<X11Input> input_;
  std::unique_ptr<LinuxSystemCommands> commands_;  // uses input_
  std::unique_ptr<XkbKeyboardLayoutSource> layouts_;
  std::unique_ptr<X11ScreenCapture> screen_;
  std::unique_ptr<X11Pasteboard> pasteboard_;
  GnomeDesktopShortcuts shortcuts_;
};

}  // namespace

std::unique_ptr<DesktopBackend> openX11Backend(const BackendContext& context) {
  return std::make_unique<X11Backend>(context);
}

}  // namespace linux_x11

}  // namespace tillerpad::platform
