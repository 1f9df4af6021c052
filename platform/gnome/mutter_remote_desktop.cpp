#include "platform/gnome/mutter_remote_desktop.h"

#include <gio/gunixfdlist.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/gnome/display_config.h"

namespace tillerpad::platform::gnome {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

// A session Mutter closed is made again after a pause that grows while the
// attempts fail, so a Mutter that refuses is not hammered.
constexpr auto kFirstRetry = 500ms;
constexpr auto kLongestRetry = 10s;
// How long a caller waits for the bus thread to take a subscription.
constexpr auto kBusHandOff = 2s;

struct Task {
  std::function<void()> run;
};

gboolean runTask(gpointer data) {
  static_cast<Task*>(data)->run();
  return G_SOURCE_REMOVE;
}
void freeTask(gpointer data) { delete static_cast<Task*>(data); }

struct SignalHandler {
  std::function<void(GVariant*)> handle;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
              gpointer data) {
  static_cast<SignalHandler*>(data)->handle(parameters);
}
void freeSignalHandler(gpointer data) { delete static_cast<SignalHandler*>(data); }

std::optional<Rect> streamArea(GVariant* parameters) {
  if (!parameters) return std::nullopt;
  GVariant* dict = g_variant_get_child_value(parameters, 0);
  GVariant* inner = g_variant_get_variant(dict);
  gint32 x = 0, y = 0, w = 0, h = 0;
  bool ok = g_variant_lookup(inner, "position", "(ii)", &x, &y) && g_variant_lookup(inner, "size", "(ii)", &w, &h) &&
            w > 0 && h > 0;
  g_variant_unref(inner);
  g_variant_unref(dict);
  if (!ok) return std::nullopt;
  return Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(w), static_cast<double>(h)};
}

}  // namespace

// Mutter 43 sends the list wrapped in a tuple ("(as)"); the interface
// describes a bare one ("as"). Either is taken.
std::vector<std::string> selectionMimeTypes(GVariant* options) {
  std::vector<std::string> out;
  VariantPtr value(g_variant_lookup_value(options, "mime-types", nullptr));
  if (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE("(as)"))) value.reset(g_variant_get_child_value(value.get(), 0));
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE("as"))) return out;
  for (gsize i = 0; i < g_variant_n_children(value.get()); ++i) {
    const char* type = nullptr;
    g_variant_get_child(value.get(), i, "&s", &type);
    out.emplace_back(type);
  }
  return out;
}

MutterRemoteDesktop::Event event(MutterRemoteDesktop::Event::Kind kind) {
  MutterRemoteDesktop::Event e;
  e.kind = kind;
  return e;
}

struct MutterRemoteDesktop::State : std::enable_shared_from_this<State> {
  Options options;
  kit::Logger log;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  std::thread::id busThread;  // set by the thread itself, under `mutex`
  GObjectPtr<GDBusConnection> connection;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool running = false;
  std::uint64_t generation = 0;
  std::string sessionPath;
  std::vector<InputStream> streams;
  int nextListener = 1;
  std::map<int, std::function<void(const Event&)>> listeners;
  std::map<int, std::function<void()>> vanishedListeners;

  // The bus thread's own.
  std::string screenCastPath;
  std::vector<unsigned> sessionSignals;
  guint nameWatch = 0;
  unsigned monitorsSignal = 0;
  GSource* retry = nullptr;
  std::chrono::milliseconds retryDelay = kFirstRetry;
  bool mutterPresent = false;
  bool ending = false;

  ~State() {
    if (loop) g_main_loop_unref(loop);
    if (context) g_main_context_unref(context);
  }

  void post(std::function<void()> run) {
    g_main_context_invoke_full(context, G_PRIORITY_DEFAULT, runTask, new Task{std::move(run)}, freeTask);
  }

  // Runs `run` on the bus thread and waits for it, at most kBusHandOff.
  bool runOnBus(std::function<void()> run) {
    bool onBus = false;
    {
      std::lock_guard lock(mutex);
      onBus = std::this_thread::get_id() == busThread;
    }
    if (onBus) {
      run();
      return true;
    }
    auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto finished = std::make_shared<bool>(false);
    post([run = std::move(run), done, finished] {
      run();
      std::lock_guard lock(done->first);
      *finished = true;
      done->second.notify_all();
    });
    std::unique_lock lock(done->first);
    return done->second.wait_for(lock, kBusHandOff, [&] { return *finished; });
  }

  VariantPtr call(const char* destination, const std::string& path, const char* interface, const char* method,
                  GVariant* parameters, const char* replyType, std::string* error, GUnixFDList* fdsIn,
                  GUnixFDList** fdsOut) const {
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection.get(), destination, path.c_str(), interface, method, parameters,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
        static_cast<int>(options.callTimeout.count()), fdsIn, fdsOut, nullptr, &raw);
    ErrorPtr failure(raw);
    if (!reply && error) *error = describe(failure.get());
    return VariantPtr(reply);
  }

  void emit(const Event& event) {
    std::vector<std::function<void(const Event&)>> handlers;
    {
      std::lock_guard lock(mutex);
      for (auto& [id, handler] : listeners) handlers.push_back(handler);
    }
    for (auto& handler : handlers) handler(event);
  }

  unsigned watch(const char* sender, const std::string& path, const char* interface, const char* member,
                 std::function<void(GVariant*)> handle) {
    return g_dbus_connection_signal_subscribe(connection.get(), sender, interface, member, path.c_str(), nullptr,
                                              G_DBUS_SIGNAL_FLAGS_NONE, onSignal, new SignalHandler{std::move(handle)},
                                              freeSignalHandler);
  }

  // --- on the bus thread ---

  std::vector<MutterMonitor> monitors() {
    auto state = call(kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName, "GetCurrentState", nullptr, nullptr,
                      nullptr, nullptr, nullptr);
    auto parsed = parseCurrentState(state.get());
    return parsed ? *parsed : std::vector<MutterMonitor>{};
  }

  void dropSession(bool tellMutter) {
    for (unsigned id : sessionSignals) g_dbus_connection_signal_unsubscribe(connection.get(), id);
    sessionSignals.clear();
    std::string path;
    {
      std::lock_guard lock(mutex);
      path = std::exchange(sessionPath, {});
      running = false;
      streams.clear();
    }
    if (tellMutter && !path.empty()) {
      call(kRemoteDesktopName, path, kSessionInterface, "Stop", nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    screenCastPath.clear();
  }

  bool startSession() {
    std::string error;
    auto created = call(kRemoteDesktopName, kRemoteDesktopPath, kRemoteDesktopName, "CreateSession", nullptr, "(o)",
                        &error, nullptr, nullptr);
    if (!created) {
      log.error("Mutter made no remote-desktop session: " + error);
      return false;
    }
    const char* rawPath = nullptr;
    g_variant_get(created.get(), "(&o)", &rawPath);
    std::string path = rawPath;
    {
      std::lock_guard lock(mutex);
      sessionPath = path;
    }
    auto fail = [&](const std::string& what) {
      log.error(what + ": " + error);
      dropSession(true);
      return false;
    };
    auto id = call(kRemoteDesktopName, path, "org.freedesktop.DBus.Properties", "Get",
                   g_variant_new("(ss)", kSessionInterface, "SessionId"), "(v)", &error, nullptr, nullptr);
    if (!id) return fail("No remote-desktop session id");
    VariantPtr idValue(g_variant_get_child_value(id.get(), 0));
    VariantPtr idString(g_variant_get_variant(idValue.get()));
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", g_variant_new_string(g_variant_get_string(idString.get(), nullptr)));
    auto screenCast = call(kScreenCastName, kScreenCastPath, kScreenCastName, "CreateSession",
                           g_variant_new("(a{sv})", &properties), "(o)", &error, nullptr, nullptr);
    if (!screenCast) return fail("No screen-cast session beside the remote-desktop one");
    const char* castPath = nullptr;
    g_variant_get(screenCast.get(), "(&o)", &castPath);
    screenCastPath = castPath;

    // One stream per monitor: absolute motion is given relative to a stream.
    std::vector<std::string> connectors;
    for (const auto& m : monitors()) connectors.push_back(m.connector);
    if (connectors.empty()) connectors.push_back("");  // Mutter's primary monitor
    std::vector<std::string> streamPaths;
    for (const auto& connector : connectors) {
      GVariantBuilder record;
      g_variant_builder_init(&record, G_VARIANT_TYPE("a{sv}"));
      auto stream = call(kScreenCastName, screenCastPath, kScreenCastSession, "RecordMonitor",
                         g_variant_new("(sa{sv})", connector.c_str(), &record), "(o)", &error, nullptr, nullptr);
      if (!stream) return fail("Mutter would not record monitor " + connector + " for pointer motion");
      const char* streamPath = nullptr;
      g_variant_get(stream.get(), "(&o)", &streamPath);
      streamPaths.emplace_back(streamPath);
    }

    auto self = weak_from_this();
    sessionSignals.push_back(watch(kRemoteDesktopName, path, kSessionInterface, "Closed", [self, path](GVariant*) {
      if (auto s = self.lock()) s->onClosed(path);
    }));
    sessionSignals.push_back(
        watch(kRemoteDesktopName, path, kSessionInterface, "SelectionOwnerChanged", [self](GVariant* parameters) {
          auto s = self.lock();
          if (!s) return;
          Event ownerChanged = event(Event::Kind::selectionOwnerChanged);
          GVariant* selection = g_variant_get_child_value(parameters, 0);
          ownerChanged.mimeTypes = selectionMimeTypes(selection);
          gboolean owner = FALSE;
          g_variant_lookup(selection, "session-is-owner", "b", &owner);
          ownerChanged.sessionIsOwner = owner;
          g_variant_unref(selection);
          s->emit(ownerChanged);
        }));
    sessionSignals.push_back(
        watch(kRemoteDesktopName, path, kSessionInterface, "SelectionTransfer", [self](GVariant* parameters) {
          auto s = self.lock();
          if (!s) return;
          Event transfer = event(Event::Kind::selectionTransfer);
          const char* mime = nullptr;
          g_variant_get(parameters, "(&su)", &mime, &transfer.serial);
          transfer.mimeType = mime;
          s->emit(transfer);
        }));

    if (!call(kRemoteDesktopName, path, kSessionInterface, "Start", nullptr, nullptr, &error, nullptr, nullptr)) {
      return fail("Mutter would not start the remote-desktop session");
    }
    GVariantBuilder clipboard;
    g_variant_builder_init(&clipboard, G_VARIANT_TYPE("a{sv}"));
    if (!call(kRemoteDesktopName, path, kSessionInterface, "EnableClipboard", g_variant_new("(a{sv})", &clipboard),
              nullptr, &error, nullptr, nullptr)) {
      log.error("Mutter would not share its clipboard: " + error);
    }

    std::vector<InputStream> found;
    for (std::size_t i = 0; i < streamPaths.size(); ++i) {
      auto parameters = call(kScreenCastName, streamPaths[i], "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kScreenCastStream, "Parameters"), "(v)", &error, nullptr, nullptr);
      if (auto area = streamArea(parameters.get())) found.push_back({streamPaths[i], *area});
    }
    if (found.empty()) return fail("Mutter's streams tell no position");

    // Mutter drops the first keyboard event of a new session (and the first
    // absolute motion, which the input adapter sends twice); this goes
    // instead of the user's. A release without its press is refused, so the
    // key is tapped: Shift alone types nothing.
    auto prime = [&](const char* method, GVariant* parameters) {
      g_dbus_connection_call(connection.get(), kRemoteDesktopName, path.c_str(), kSessionInterface, method, parameters,
                             nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    };
    prime("NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 0.0));
    prime("NotifyKeyboardKeycode", g_variant_new("(ub)", static_cast<guint32>(KEY_LEFTSHIFT), TRUE));
    prime("NotifyKeyboardKeycode", g_variant_new("(ub)", static_cast<guint32>(KEY_LEFTSHIFT), FALSE));
    {
      std::lock_guard lock(mutex);
      streams = std::move(found);
      running = true;
      ++generation;
    }
    changed.notify_all();
    retryDelay = kFirstRetry;
    log.info("Mutter's remote-desktop session started with " + std::to_string(streamPaths.size()) + " monitor stream(s)");
    emit(event(Event::Kind::started));
    return true;
  }

  void scheduleStart(std::chrono::milliseconds delay) {
    if (retry || ending || !mutterPresent) return;
    retry = g_timeout_source_new(static_cast<guint>(delay.count()));
    std::weak_ptr<State> self = weak_from_this();
    g_source_set_callback(
        retry,
        [](gpointer data) -> gboolean {
          auto* weak = static_cast<std::weak_ptr<State>*>(data);
          if (auto s = weak->lock()) s->onRetry();
          return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<State>(self), [](gpointer data) { delete static_cast<std::weak_ptr<State>*>(data); });
    g_source_attach(retry, context);
  }

  void onRetry() {
    g_source_unref(retry);
    retry = nullptr;
    if (ending || !mutterPresent || running) return;
    if (!startSession()) {
      auto delay = retryDelay;
      retryDelay = std::min<std::chrono::milliseconds>(retryDelay * 2, kLongestRetry);
      scheduleStart(delay);
    }
  }

  void onClosed(const std::string& path) {
    {
      std::lock_guard lock(mutex);
      if (path != sessionPath) return;
    }
    log.notice("Mutter closed the remote-desktop session; making a new one");
    dropSession(false);
    emit(event(Event::Kind::closed));
    scheduleStart(retryDelay);
  }

  void onMonitorsChanged() {
    // The streams follow the monitors: a new session records the new set.
    if (!running) return;
    log.info("The monitors changed; the remote-desktop session follows");
    dropSession(true);
    emit(event(Event::Kind::closed));
    scheduleStart(0ms);
  }

  void onNameAppeared() {
    mutterPresent = true;
    scheduleStart(0ms);
  }

  void onNameVanished() {
    bool was = mutterPresent;
    mutterPresent = false;
    if (!was) return;
    log.notice("Mutter left the session bus");
    bool hadSession = running;
    dropSession(false);
    if (hadSession) emit(event(Event::Kind::closed));
    std::vector<std::function<void()>> handlers;
    {
      std::lock_guard lock(mutex);
      for (auto& [id, handler] : vanishedListeners) handlers.push_back(handler);
    }
    for (auto& handler : handlers) handler();
  }

  void setUpOnBus() {
    std::weak_ptr<State> self = weak_from_this();
    nameWatch = g_bus_watch_name_on_connection_with_closures(
        connection.get(), kRemoteDesktopName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        g_cclosure_new(G_CALLBACK(+[](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
                         if (auto s = static_cast<std::weak_ptr<State>*>(data)->lock()) s->onNameAppeared();
                       }),
                       new std::weak_ptr<State>(self),
                       [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<State>*>(data); }),
        g_cclosure_new(G_CALLBACK(+[](GDBusConnection*, const gchar*, gpointer data) {
                         if (auto s = static_cast<std::weak_ptr<State>*>(data)->lock()) s->onNameVanished();
                       }),
                       new std::weak_ptr<State>(self),
                       [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<State>*>(data); }));
    monitorsSignal = watch(kDisplayConfigName, kDisplayConfigPath, kDisplayConfigName, "MonitorsChanged", [self](GVariant*) {
      if (auto s = self.lock()) s->onMonitorsChanged();
    });
  }

  void tearDownOnBus() {
    ending = true;
    if (retry) {
      g_source_destroy(retry);
      g_source_unref(retry);
      retry = nullptr;
    }
    if (nameWatch) g_bus_unwatch_name(nameWatch);
    if (monitorsSignal) g_dbus_connection_signal_unsubscribe(connection.get(), monitorsSignal);
    dropSession(true);
  }
};

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::open(Options options, kit::Logger log) {
  std::string address = options.busAddress;
  if (address.empty()) {
    GError* raw = nullptr;
    gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    ErrorPtr error(raw);
    if (!found) {
      log.info("No session bus: " + describe(error.get()));
      return nullptr;
    }
    address = found;
    g_free(found);
  }
  GError* raw = nullptr;
  // A private connection: closing it ends every session Mutter made for us.
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &raw);
  ErrorPtr error(raw);
  if (!connection) {
    log.info("Cannot reach the session bus: " + describe(error.get()));
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);

  auto state = std::make_shared<State>();
  state->options = std::move(options);
  state->log = std::move(log);
  state->connection.reset(connection);

  // Is Mutter there at all? One bounded question before a thread is spent.
  std::string why;
  auto version = state->call(kRemoteDesktopName, kRemoteDesktopPath, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kRemoteDesktopName, "Version"), "(v)", &why, nullptr, nullptr);
  if (!version) {
    state->log.info("org.gnome.Mutter.RemoteDesktop does not answer: " + why);
    return nullptr;
  }

  state->context = g_main_context_new();
  state->loop = g_main_loop_new(state->context, FALSE);
  state->thread = std::thread([s = state.get()] {
    {
      std::lock_guard lock(s->mutex);
      s->busThread = std::this_thread::get_id();
    }
    g_main_context_push_thread_default(s->context);
    s->setUpOnBus();
    g_main_loop_run(s->loop);
    s->tearDownOnBus();
    // Whatever the teardown queued (destroy notifies) runs before the end.
    while (g_main_context_iteration(s->context, FALSE)) {
    }
    g_main_context_pop_thread_default(s->context);
  });
  auto desktop = std::shared_ptr<MutterRemoteDesktop>(new MutterRemoteDesktop(state));
  desktop->waitRunning(state->options.startWait);
  return desktop;
}

MutterRemoteDesktop::MutterRemoteDesktop(std::shared_ptr<State> state) : state_(std::move(state)) {}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  state_->post([s = state_.get()] { g_main_loop_quit(s->loop); });
  state_->thread.join();
  g_dbus_connection_close_sync(state_->connection.get(), nullptr, nullptr);
}

bool MutterRemoteDesktop::running() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

bool MutterRemoteDesktop::waitRunning(std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit, [this] { return state_->running; });
}

bool MutterRemoteDesktop::notify(const char* method, GVariant* parameters) {
  std::string path = sessionPath();
  if (path.empty()) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    return false;
  }
  // No callback: GDBus asks for no reply and sends in the order of the calls.
  g_dbus_connection_call(state_->connection.get(), kRemoteDesktopName, path.c_str(), kSessionInterface, method, parameters,
                         nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  return true;
}

bool MutterRemoteDesktop::flush() {
  std::string path = sessionPath();
  if (path.empty()) return false;
  // Mutter answers in order: the answer to this comes after the calls before,
  // and a task on the bus thread runs after the signals that came first.
  bool answered = call(kRemoteDesktopName, path, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", kSessionInterface, "SessionId"), "(v)") != nullptr;
  return state_->runOnBus([] {}) && answered;
}

std::vector<MutterRemoteDesktop::InputStream> MutterRemoteDesktop::inputStreams() const {
  std::lock_guard lock(state_->mutex);
  return state_->streams;
}

std::uint64_t MutterRemoteDesktop::generation() const {
  std::lock_guard lock(state_->mutex);
  return state_->generation;
}

std::string MutterRemoteDesktop::sessionPath() const {
  std::lock_guard lock(state_->mutex);
  return state_->running ? state_->sessionPath : std::string();
}

VariantPtr MutterRemoteDesktop::call(const char* destination, const std::string& path, const char* interface,
                                     const char* method, GVariant* parameters, const char* replyType, std::string* error,
                                     GUnixFDList* fdsIn, GUnixFDList** fdsOut) const {
  return state_->call(destination, path, interface, method, parameters, replyType, error, fdsIn, fdsOut);
}

int MutterRemoteDesktop::subscribe(std::function<void(const Event&)> handler) {
  std::lock_guard lock(state_->mutex);
  int id = state_->nextListener++;
  state_->listeners.emplace(id, std::move(handler));
  return id;
}

void MutterRemoteDesktop::unsubscribe(int id) {
  std::lock_guard lock(state_->mutex);
  state_->listeners.erase(id);
}

unsigned MutterRemoteDesktop::watchSignal(const char* sender, const std::string& path, const char* interface,
                                          const char* member, std::function<void(GVariant*)> handler) {
  auto id = std::make_shared<unsigned>(0);
  bool taken = state_->runOnBus([s = state_.get(), id, sender, path, interface, member, handler = std::move(handler)]() mutable {
    *id = s->watch(sender, path, interface, member, std::move(handler));
  });
  return taken ? *id : 0;
}

void MutterRemoteDesktop::unwatchSignal(unsigned id) {
  if (id) g_dbus_connection_signal_unsubscribe(state_->connection.get(), id);
}

int MutterRemoteDesktop::subscribeVanished(std::function<void()> gone) {
  std::lock_guard lock(state_->mutex);
  int id = state_->nextListener++;
  state_->vanishedListeners.emplace(id, std::move(gone));
  return id;
}

void MutterRemoteDesktop::unsubscribeVanished(int id) {
  std::lock_guard lock(state_->mutex);
  state_->vanishedListeners.erase(id);
}

GDBusConnection* MutterRemoteDesktop::connection() const { return state_->connection.get(); }

std::chrono::milliseconds MutterRemoteDesktop::callTimeout() const { return state_->options.callTimeout; }

}  // namespace tillerpad::platform::gnome
