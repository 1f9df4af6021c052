#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/log.h"
#include "platform/app_workspace.h"
#include "platform/desktop_shortcuts.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"
#include "platform/keyboard_layout_source.h"
#include "platform/pasteboard.h"
#include "platform/permission_probe.h"
#include "platform/screen_capture.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform {

// What a backend is opened with.
struct BackendContext {
  // A logger of the host's sink for a category ("input", "screen", ...).
  std::function<kit::Logger(std::string category)> logger;
  // The X display for the X11 backend; empty: $DISPLAY.
  std::string x11Display;
  // The Wayland socket (a name in $XDG_RUNTIME_DIR or an absolute path);
  // empty: $WAYLAND_DISPLAY.
  std::string waylandDisplay;
};

// The platform interfaces of one desktop session. A null part means the
// host runs without it, as it does without an X display; the host puts a
// stand-in there. The backend owns its parts and its connection to the
// session, and outlives every model built on it.
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;

  virtual std::string_view name() const = 0;

  virtual InputEventSink* input() { return nullptr; }
  virtual DisplayQuery* displays() { return nullptr; }
  virtual KeyboardLayoutSource* keyboardLayouts() { return nullptr; }
  virtual SystemCommandRunner* systemCommands() { return nullptr; }
  virtual DesktopShortcuts* shortcuts() { return nullptr; }
  virtual ScreenCapture* screenCapture() { return nullptr; }
  virtual Pasteboard* pasteboard() { return nullptr; }
  virtual PermissionProbe* permissions() { return nullptr; }
  // Called once at start; the workspace may use the backend's connection,
  // so it is destroyed before the backend.
  virtual std::unique_ptr<AppWorkspace> openAppWorkspace() { return nullptr; }
};

enum class BackendKind { x11, wlroots, gnome };

std::string_view backendName(BackendKind kind);
std::optional<BackendKind> parseBackendKind(std::string_view name);

// What the session offers, as the probes at start found it.
struct SessionFacts {
  bool waylandDisplaySet = false;  // $WAYLAND_DISPLAY
  bool x11DisplaySet = false;      // $DISPLAY
  bool waylandConnected = false;   // the compositor answered the registry round trip
  bool wlrVirtualPointer = false;  // zwlr_virtual_pointer_manager_v1
  bool wlrScreencopy = false;      // zwlr_screencopy_manager_v1
  bool mutterRemoteDesktop = false;  // org.gnome.Mutter.RemoteDesktop has an owner on the session bus
};

struct BackendChoice {
  std::optional<BackendKind> kind;  // none: the host runs without input or screen
  std::string line;                 // the one log line: what was chosen and why, or what is missing
  bool degraded = false;            // the line is a warning: less than the session could need
  std::string lacking;              // without a kind: what the session lacks, in a few words
};

// The backend for a session: --backend wins; else wlroots where the
// compositor offers both wlr globals, X11 in a plain X session, GNOME where
// Mutter's remote desktop answers, X11 through Xwayland as a last resort.
BackendChoice chooseBackend(const SessionFacts& facts, std::optional<BackendKind> forced);

// What the status says in "Pointer and keyboard control: not possible (...)"
// and "Screen viewing: not possible (...)": the backend in use names what
// it needs; without one (none chosen, or the chosen one did not open), what
// the session lacks.
struct UnavailableReasons {
  std::string input, screen;
};
UnavailableReasons unavailableReasons(const BackendChoice& choice, const DesktopBackend* opened);

using BackendFactory = std::function<std::unique_ptr<DesktopBackend>(const BackendContext&)>;

// The backends this build has, by kind; main fills it at start.
class BackendRegistry {
 public:
  void add(BackendKind kind, BackendFactory factory) { factories_[kind] = std::move(factory); }
  bool has(BackendKind kind) const { return factories_.count(kind) > 0; }
  // Null, after logging why, when the build lacks the kind or it cannot open.
  std::unique_ptr<DesktopBackend> open(BackendKind kind, const BackendContext& context, const kit::Logger& log) const;

 private:
  std::map<BackendKind, BackendFactory> factories_;
};

namespace linux_x11 {

// Today's X11 adapters as one backend. Without a display the input, layout,
// command, screen and clipboard parts are null; the permission probe,
// shortcuts and installed applications are there regardless.
std::unique_ptr<DesktopBackend> openX11Backend(const BackendContext& context);

}  // namespace linux_x11

}  // namespace tillerpad::platform
