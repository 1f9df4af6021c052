#include "platform/linux/session_probe.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tillerpad::platform {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string waylandSocketPath(std::string display) {
  if (display.empty()) display = environment("WAYLAND_DISPLAY");
  if (display.empty()) display = "wayland-0";
  if (display.front() == '/') return display;
  auto runtime = environment("XDG_RUNTIME_DIR");
  return runtime.empty() ? std::string() : runtime + "/" + display;
}

// libwayland's own connect could wait without limit on a compositor whose
// listen queue is full; this one gives up at the deadline.
int connectUnixSocket(const std::string& path, Clock::time_point deadline) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (errno == EINPROGRESS || errno == EAGAIN) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, millisecondsLeft(deadline)) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
        error == 0) {
      return fd;
    }
  }
  ::close(fd);
  return -1;
}

struct RegistryProbe {
  std::vector<WaylandGlobal> globals;
  bool done = false;
};

const wl_registry_listener registryListener{
    [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t version) {
      static_cast<RegistryProbe*>(data)->globals.push_back({interface, version});
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

const wl_callback_listener syncListener{
    [](void* data, wl_callback*, std::uint32_t) { static_cast<RegistryProbe*>(data)->done = true; },
};

// One wl_display_roundtrip, but with a deadline: a compositor that stopped
// answering must not hold the start.
bool roundTrip(wl_display* display, RegistryProbe& probe, Clock::time_point deadline) {
  int fd = wl_display_get_fd(display);
  while (!probe.done) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
      if (probe.done) return true;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display);
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, millisecondsLeft(deadline));
    if (ready <= 0) {
      wl_display_cancel_read(display);
      if (ready < 0 && errno == EINTR && millisecondsLeft(deadline) > 0) continue;
      return false;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) return false;
  }
  return true;
}

std::optional<std::string> sessionBusAddress() {
  if (auto address = environment("DBUS_SESSION_BUS_ADDRESS"); !address.empty()) return address;
  // Where systemd's user manager puts the bus; GIO's own fallback would
  // autolaunch one.
  auto runtime = environment("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime.empty() || ::stat((runtime + "/bus").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
  char* escaped = g_dbus_address_escape_value((runtime + "/bus").c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

// Shared by the probe and its callbacks, which may run after the probe
// gave up (they hold a reference each).
struct BusProbe {
  GDBusConnection* bus = nullptr;
  bool answered = false, owned = false;
  ~BusProbe() {
    if (bus) {
      g_dbus_connection_close(bus, nullptr, nullptr, nullptr);
      g_object_unref(bus);
    }
  }
};
using BusProbeRef = std::shared_ptr<BusProbe>;

// Runs `context` until `done` or for `limitMs` at most.
template <typename Done>
void iterateUntil(GMainContext* context, Done done, int limitMs) {
  bool expired = false;
  GSource* timeout = g_timeout_source_new(static_cast<guint>(limitMs));
  g_source_set_callback(
      timeout,
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &expired, nullptr);
  g_source_attach(timeout, context);
  while (!done() && !expired) g_main_context_iteration(context, TRUE);
  g_source_destroy(timeout);
  g_source_unref(timeout);
}

}  // namespace

std::optional<std::vector<WaylandGlobal>> probeWaylandGlobals(const std::string& display,
                                                              std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  int fd = connectUnixSocket(waylandSocketPath(display), deadline);
  if (fd < 0) return std::nullopt;
  wl_display* connection = wl_display_connect_to_fd(fd);  // closes fd on failure
  if (!connection) return std::nullopt;
  RegistryProbe probe;
  wl_registry* registry = wl_display_get_registry(connection);
  wl_registry_add_listener(registry, &registryListener, &probe);
  wl_callback* sync = wl_display_sync(connection);
  wl_callback_add_listener(sync, &syncListener, &probe);
  bool answered = roundTrip(connection, probe, deadline);
  wl_callback_destroy(sync);
  wl_registry_destroy(registry);
  wl_display_disconnect(connection);
  if (!answered) return std::nullopt;
  return std::move(probe.globals);
}

bool sessionBusNameHasOwner(const std::string& name, std::chrono::milliseconds limit) {
  auto address = sessionBusAddress();
  if (!address) return false;
  auto deadline = Clock::now() + limit;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  auto probe = std::make_shared<BusProbe>();

  auto onCall = [](GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<BusProbeRef> ref(static_cast<BusProbeRef*>(data));
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    (*ref)->answered = true;
    if (reply) {
      gboolean owned = FALSE;
      g_variant_get(reply, "(b)", &owned);
      (*ref)->owned = owned;
      g_variant_unref(reply);
    }
  };
  struct Connecting {
    BusProbeRef probe;
    std::string name;
    GCancellable* cancellable;
    Clock::time_point deadline;
    GAsyncReadyCallback onCall;
  };
  auto onConnected = [](GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Connecting> connecting(static_cast<Connecting*>(data));
    GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
    auto& state = *connecting->probe;
    if (!bus) {
      state.answered = true;
      return;
    }
    state.bus = bus;
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", g_variant_new("(s)", connecting->name.c_str()), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, std::max(millisecondsLeft(connecting->deadline), 1),
                           connecting->cancellable, connecting->onCall, new BusProbeRef(connecting->probe));
  };
  g_dbus_connection_new_for_address(
      address->c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable, onConnected,
      new Connecting{probe, name, cancellable, deadline, onCall});

  iterateUntil(context, [&] { return probe->answered; }, millisecondsLeft(deadline));
  bool owned = probe->answered && probe->owned;
  // Cancelled callbacks get a moment to drop their references; one that
  // comes later never runs (nothing iterates this context again).
  g_cancellable_cancel(cancellable);
  iterateUntil(context, [&] { return probe.use_count() == 1; }, 100);
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return owned;
}

SessionFacts probeSession(std::chrono::milliseconds limit) {
  SessionFacts facts;
  facts.waylandDisplaySet = !environment("WAYLAND_DISPLAY").empty();
  facts.x11DisplaySet = !environment("DISPLAY").empty();
  if (facts.waylandDisplaySet) {
    if (auto globals = probeWaylandGlobals("", limit)) {
      facts.waylandConnected = true;
      for (const auto& global : *globals) {
        if (global.interface == "zwlr_virtual_pointer_manager_v1") facts.wlrVirtualPointer = true;
        if (global.interface == "zwlr_screencopy_manager_v1") facts.wlrScreencopy = true;
      }
    }
  }
  // Asked only where the answer can change the choice.
  auto withoutMutter = chooseBackend(facts, std::nullopt);
  bool decided = withoutMutter.kind && !withoutMutter.degraded;
  if (!decided) facts.mutterRemoteDesktop = sessionBusNameHasOwner("org.gnome.Mutter.RemoteDesktop", limit);
  return facts;
}

}  // namespace tillerpad::platform
