#include "platform/linux/mpris_remote.h"

#include <gio/gio.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <string_view>
#include <mutex>
#include <thread>

namespace tillerpad::platform::linux_x11 {
namespace {

constexpr std::string_view kPrefix = "org.mpris.MediaPlayer2.";
constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr int kCallMilliseconds = 1000;
constexpr std::size_t kMaxWaiting = 8;

const char* methodFor(MediaKey key) {
  switch (key) {
    case MediaKey::play:
      return "PlayPause";
    case MediaKey::next:
      return "Next";
    case MediaKey::previous:
      return "Previous";
    default:
      return nullptr;
  }
}

std::string take(GError* error) {
  std::string text = error ? error->message : "no reply";
  if (error) g_error_free(error);
  return text;
}

}  // namespace

struct MprisRemote::Impl {
  kit::Logger log;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<MediaKey> keys;
  bool stopping = false;
  std::thread thread;
  GDBusConnection* bus = nullptr;  // the thread's

  GVariant* call(const char* name, const char* path, const char* interface, const char* method, GVariant* args,
                 std::string& error) {
    GError* e = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallMilliseconds, nullptr, &e);
    if (!reply) error = take(e);
    return reply;
  }

  std::vector<std::pair<std::string, std::string>> players() {
    std::vector<std::pair<std::string, std::string>> out;
    std::string error;
    GVariant* names = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
                           nullptr, error);
    if (!names) {
      log.error("Cannot list the media players: " + error);
      return out;
    }
    GVariantIter* iter = nullptr;
    const char* name = nullptr;
    g_variant_get(names, "(as)", &iter);
    while (g_variant_iter_next(iter, "&s", &name)) {
      if (std::string_view(name).starts_with(kPrefix)) out.emplace_back(name, "");
    }
    g_variant_iter_free(iter);
    g_variant_unref(names);
    for (auto& [player, status] : out) {
      GVariant* reply = call(player.c_str(), kPath, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kPlayer, "PlaybackStatus"), error);
      if (!reply) continue;
      GVariant* value = nullptr;
      g_variant_get(reply, "(v)", &value);
      if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) status = g_variant_get_string(value, nullptr);
      g_variant_unref(value);
      g_variant_unref(reply);
    }
    return out;
  }

  void send(MediaKey key) {
    if (!bus) {
      GError* e = nullptr;
      bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &e);
      if (!bus) {
        log.error("No session bus for the media keys: " + take(e));
        return;
      }
      // GIO's shared connection would end the process when the bus closes it.
      g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    auto player = choose(players());
    if (!player) {
      log.notice("No media player to send the key to");
      return;
    }
    std::string error;
    GVariant* reply = call(player->c_str(), kPath, kPlayer, methodFor(key), nullptr, error);
    if (reply) {
      g_variant_unref(reply);
    } else {
      log.error(std::string(methodFor(key)) + " on " + *player + " failed: " + error);
    }
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || !keys.empty(); });
      if (stopping) break;
      MediaKey key = keys.front();
      keys.pop_front();
      lock.unlock();
      send(key);
      lock.lock();
    }
    if (bus) g_object_unref(bus);
  }
};

MprisRemote::MprisRemote(kit::Logger log) : impl_(std::make_shared<Impl>()) {
  impl_->log = std::move(log);
  impl_->thread = std::thread([impl = impl_] { impl->run(); });
}

MprisRemote::~MprisRemote() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->keys.clear();
  }
  impl_->wake.notify_all();
  // A call in flight ends within its limits (a few calls of a second each).
  impl_->thread.join();
}

bool MprisRemote::press(MediaKey key) {
  if (!methodFor(key)) return false;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->keys.size() >= kMaxWaiting) return false;
    impl_->keys.push_back(key);
  }
  impl_->wake.notify_all();
  return true;
}

std::optional<std::string> MprisRemote::choose(std::vector<std::pair<std::string, std::string>> players) {
  if (players.empty()) return std::nullopt;
  std::sort(players.begin(), players.end());
  auto playing = std::find_if(players.begin(), players.end(), [](const auto& p) { return p.second == "Playing"; });
  return playing != players.end() ? playing->first : players.front().first;
}

}  // namespace tillerpad::platform::linux_x11
