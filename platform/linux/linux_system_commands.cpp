#include "platform/linux/linux_system_commands.h"

#include <gio/gio.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/x11_input.h"

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr int kCallTimeoutMilliseconds = 5000;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};

// Calls a logind method; the error's description when it fails.
std::optional<std::string> callLogind(const char* path, const char* interface, const char* method,
                                      GVariant* parameters) {
  GError* raw = nullptr;
  std::unique_ptr<GDBusConnection, ObjectUnref> bus(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw));
  std::unique_ptr<GError, ErrorFree> error(raw);
  if (!bus) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    return error ? std::string(error->message) : std::string("no system bus");
  }
  raw = nullptr;
  std::unique_ptr<GVariant, VariantUnref> reply(g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.login1", path, interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
      kCallTimeoutMilliseconds, nullptr, &raw));
  error.reset(raw);
  if (!reply) return error ? std::string(error->message) : std::string("no reply");
  return std::nullopt;
}

}  // namespace

struct LinuxSystemCommands::Impl {
  explicit Impl(X11Input& i) : input(i) {}
  X11Input& input;
  std::mutex mutex;
  std::vector<std::thread> running;
};

LinuxSystemCommands::LinuxSystemCommands(X11Input& input) : impl_(std::make_unique<Impl>(input)) {}

LinuxSystemCommands::~LinuxSystemCommands() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(impl_->mutex);
    threads.swap(impl_->running);
  }
  for (auto& t : threads) t.join();
}

bool LinuxSystemCommands::postMediaKey(MediaKey key, bool down) { return impl_->input.postMediaKey(key, down); }

void LinuxSystemCommands::startPower(PowerRequest request, std::function<void(std::string)> onFailure) {
  auto work = [this, request, onFailure = std::move(onFailure)] {
    std::optional<std::string> failure;
    switch (request) {
      case PowerRequest::lockSession:
        failure = callLogind("/org/freedesktop/login1/session/auto", "org.freedesktop.login1.Session", "Lock",
                             nullptr);
        break;
      case PowerRequest::suspend:
        failure = callLogind("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Suspend",
                             g_variant_new("(b)", FALSE));
        break;
      case PowerRequest::displaySleep:
        failure = impl_->input.forceDisplaysOff();
        break;
    }
    if (failure && onFailure) onFailure(*failure);
  };
  std::lock_guard lock(impl_->mutex);
  impl_->running.emplace_back(std::move(work));
}

}  // namespace tillerpad::platform::linux_x11
