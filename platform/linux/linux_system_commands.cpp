#include "platform/linux/linux_system_commands.h"

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/linux/x11_input.h"

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr int kCallTimeoutMilliseconds = 5000;
// The bus connection has no time limit of its own (a bus that accepts and
// never answers holds it forever): the whole request is cancelled after this.
constexpr guint kRequestLimitMilliseconds = 2 * kCallTimeoutMilliseconds;
// Requests started and not finished; a phone that sends more at once has the
// rest refused, so a flood costs neither threads nor memory.
constexpr int kMaxPending = 8;

std::string message(GError* error, const char* otherwise) {
  std::string text = error ? error->message : otherwise;
  if (error) g_error_free(error);
  return text;
}

}  // namespace

// Requests run on one thread with a GLib main loop of its own, as
// asynchronous D-Bus calls: they overlap without a thread each.
struct LinuxSystemCommands::Impl {
  explicit Impl(SessionHooks h) : hooks(std::move(h)) {}
  SessionHooks hooks;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable finished;
  int pending = 0;
};

namespace {

struct Request {
  LinuxSystemCommands::Impl* impl;
  PowerRequest kind;
  std::function<void(std::string)> onFailure;
  GCancellable* cancellable = nullptr;
  GSource* limit = nullptr;
};

void finish(Request* r, std::optional<std::string> failure) {
  if (r->limit) {
    g_source_destroy(r->limit);
    g_source_unref(r->limit);
  }
  if (r->cancellable) g_object_unref(r->cancellable);
  if (failure && r->onFailure) r->onFailure(*failure);
  auto* impl = r->impl;
  delete r;
  {
    std::lock_guard lock(impl->mutex);
    --impl->pending;
  }
  impl->finished.notify_all();
}

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply) {
    g_variant_unref(reply);
    finish(static_cast<Request*>(data), std::nullopt);
  } else {
    finish(static_cast<Request*>(data), message(error, "no reply"));
  }
}

void onBus(GObject*, GAsyncResult* result, gpointer data) {
  auto* r = static_cast<Request*>(data);
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_finish(result, &error);
  if (!bus) {
    finish(r, message(error, "no system bus"));
    return;
  }
  // GIO's shared bus connection would end the process when the bus closes it.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  if (r->kind == PowerRequest::lockSession) {
    g_dbus_connection_call(bus, "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                           "org.freedesktop.login1.Session", "Lock", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                           kCallTimeoutMilliseconds, r->cancellable, onReply, r);
  } else {
    g_dbus_connection_call(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Suspend", g_variant_new("(b)", FALSE), nullptr, G_DBUS_CALL_FLAGS_NONE,
                           kCallTimeoutMilliseconds, r->cancellable, onReply, r);
  }
  g_object_unref(bus);  // the call holds its own reference
}

gboolean start(gpointer data) {
  auto* r = static_cast<Request*>(data);
  if (r->kind == PowerRequest::displaySleep) {
    finish(r, r->impl->hooks.displaysOff ? r->impl->hooks.displaysOff()
                                         : std::optional<std::string>("display sleep is not available here"));
    return G_SOURCE_REMOVE;
  }
  r->cancellable = g_cancellable_new();
  r->limit = g_timeout_source_new(kRequestLimitMilliseconds);
  g_source_set_callback(
      r->limit,
      [](gpointer cancellable) -> gboolean {
        g_cancellable_cancel(G_CANCELLABLE(cancellable));
        return G_SOURCE_REMOVE;
      },
      r->cancellable, nullptr);
  g_source_attach(r->limit, r->impl->context);
  g_bus_get(G_BUS_TYPE_SYSTEM, r->cancellable, onBus, r);
  return G_SOURCE_REMOVE;
}

}  // namespace

LinuxSystemCommands::LinuxSystemCommands(X11Input& input)
    : LinuxSystemCommands(SessionHooks{[&input](MediaKey key, bool down) { return input.postMediaKey(key, down); },
                                       [&input] { return input.forceDisplaysOff(); }}) {}

LinuxSystemCommands::LinuxSystemCommands(SessionHooks hooks) : impl_(std::make_unique<Impl>(std::move(hooks))) {
  impl_->context = g_main_context_new();
  impl_->loop = g_main_loop_new(impl_->context, FALSE);
  impl_->thread = std::thread([impl = impl_.get()] {
    // Asynchronous results come back to the thread-default context.
    g_main_context_push_thread_default(impl->context);
    g_main_loop_run(impl->loop);
    g_main_context_pop_thread_default(impl->context);
  });
}

LinuxSystemCommands::~LinuxSystemCommands() {
  {
    // Every request ends within its limit; the margin covers a display
    // sleep waiting for the input connection.
    std::unique_lock lock(impl_->mutex);
    impl_->finished.wait_for(lock, std::chrono::milliseconds(kRequestLimitMilliseconds) + std::chrono::seconds(2),
                             [this] { return impl_->pending == 0; });
  }
  // Quit from inside the loop: a quit before the loop runs would be lost.
  g_main_context_invoke(
      impl_->context,
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      impl_->loop);
  impl_->thread.join();
  g_main_loop_unref(impl_->loop);
  g_main_context_unref(impl_->context);
}

bool LinuxSystemCommands::postMediaKey(MediaKey key, bool down) {
  return impl_->hooks.mediaKey && impl_->hooks.mediaKey(key, down);
}

void LinuxSystemCommands::startPower(PowerRequest request, std::function<void(std::string)> onFailure) {
  bool refused = false;
  {
    std::lock_guard lock(impl_->mutex);
    refused = impl_->pending >= kMaxPending;
    if (!refused) ++impl_->pending;
  }
  if (refused) {
    if (onFailure) onFailure("too many power requests at once; this one was dropped");
    return;
  }
  g_main_context_invoke(impl_->context, start, new Request{impl_.get(), request, std::move(onFailure)});
}

}  // namespace tillerpad::platform::linux_x11
