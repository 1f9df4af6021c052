// The wlroots backend's applications and window management on a headless
// sway of the test's own, with foot windows of chosen app_ids; the media
// keys against fake MPRIS players on a private session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/linux/mpris_remote.h"
#include "platform/linux/wayland_system_commands.h"
#include "platform/wlroots/wlroots_backend.h"
#include "platform/wlroots/wlroots_session_commands.h"
#include "tests/platform/linux/temp_dir.h"
#include "tests/support/child_process.h"
#include "tests/support/wayland_session.h"

namespace tillerpad::platform::wlroots {
namespace {

using namespace std::chrono_literals;
using platform::test::ScopedEnv;
using platform::test::TempDir;
using tillerpad::test::ChildProcess;
using tillerpad::test::PrivateSway;
namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  return done();
}

// The app_id of the view sway has focused; empty when none is.
std::string focusedAppId(const PrivateSway& sway) {
  std::function<std::string(const nlohmann::json&)> walk = [&](const nlohmann::json& node) -> std::string {
    if (node.value("focused", false) && node.contains("app_id") && node["app_id"].is_string()) {
      return node["app_id"].get<std::string>();
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
      if (!node.contains(children)) continue;
      for (const auto& child : node[children]) {
        if (auto found = walk(child); !found.empty()) return found;
      }
    }
    return {};
  };
  auto tree = nlohmann::json::parse(sway.swaymsg("-t get_tree"), nullptr, false);
  return tree.is_discarded() ? "" : walk(tree);
}

std::string focusedWorkspace(const PrivateSway& sway) {
  auto workspaces = nlohmann::json::parse(sway.swaymsg("-t get_workspaces"), nullptr, false);
  if (!workspaces.is_array()) return {};
  for (const auto& w : workspaces) {
    if (w.value("focused", false)) return w.value("name", "");
  }
  return {};
}

class WlrootsSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sway.running()) GTEST_SKIP() << sway.skipReason();
    if (runShell("command -v foot").empty()) GTEST_SKIP() << "foot is not installed";
  }

  // The backend as the host opens it; sway's IPC socket is found in the environment.
  std::unique_ptr<DesktopBackend> openBackend() {
    ScopedEnv swaysock("SWAYSOCK", sway.swaysockPath().c_str());
    BackendContext context;
    context.waylandDisplay = sway.socketPath();
    auto backend = openWlrootsBackend(context);
    EXPECT_TRUE(backend);
    return backend;
  }

  std::unique_ptr<ChildProcess> foot(const std::string& appId) {
    auto child = std::make_unique<ChildProcess>("foot", std::vector<std::string>{"--app-id=" + appId},
                                                sway.clientEnvironment());
    child->endInput();
    return child;
  }

  static std::string runShell(const std::string& command) { return tillerpad::test::runShell(command); }

  PrivateSway sway;
};

TEST_F(WlrootsSession, RunningActiveOpenCloseAndLaunch) {
  TempDir dir;
  auto apps = dir.path() / "data" / "applications";
  fs::create_directories(apps);
  // "env" hides the program, so only app_id can match these two; the third
  // is found through the window's process.
  std::ofstream(apps / "tillerpad-one.desktop")
      << "[Desktop Entry]\nType=Application\nName=One\nExec=env foot --app-id=tillerpad-one\n";
  std::ofstream(apps / "tillerpad-two.desktop")
      << "[Desktop Entry]\nType=Application\nName=Two\nExec=env foot --app-id=tillerpad-two\n";
  std::ofstream(apps / "tillerpad-term.desktop") << "[Desktop Entry]\nType=Application\nName=Term\nExec=foot\n";
  ScopedEnv home("XDG_DATA_HOME", (dir.path() / "home").c_str());
  ScopedEnv dirs("XDG_DATA_DIRS", (dir.path() / "data").c_str());
  ScopedEnv runtime("XDG_RUNTIME_DIR", sway.runtimeDir().c_str());
  ScopedEnv swaysock("SWAYSOCK", sway.swaysockPath().c_str());
  ScopedEnv noDisplay("WAYLAND_DISPLAY", nullptr);  // a launch must name the socket itself

  auto backend = openBackend();
  ASSERT_TRUE(backend);
  auto workspace = backend->openAppWorkspace();
  ASSERT_TRUE(workspace);
  std::atomic<int> changes{0};
  workspace->setOnChange([&] { ++changes; });
  EXPECT_TRUE(workspace->running().apps.empty());

  auto has = [&](const std::string& id) {
    auto r = workspace->running();
    return std::any_of(r.apps.begin(), r.apps.end(), [&](const auto& a) { return a.id == id; });
  };
  auto active = [&] { return workspace->running().activeId.value_or(""); };

  // Each new window is listed under its entry and takes the focus from the one before.
  struct Case {
    std::string appId, id, name;
  };
  const std::vector<Case> cases{
      {"tillerpad-one", "tillerpad-one", "One"},   // app_id is the entry's id
      {"Tillerpad-Two", "tillerpad-two", "Two"},   // case ignored
      {"unlisted-term", "tillerpad-term", "Term"}, // no entry of that name: the process's program
  };
  std::vector<std::unique_ptr<ChildProcess>> windows;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.appId);
    windows.push_back(foot(c.appId));
    ASSERT_TRUE(eventually([&] { return active() == c.id; })) << "active: " << active();
    auto r = workspace->running();
    auto it = std::find_if(r.apps.begin(), r.apps.end(), [&](const auto& a) { return a.id == c.id; });
    ASSERT_NE(it, r.apps.end());
    EXPECT_EQ(it->name, c.name);
    EXPECT_EQ(focusedAppId(sway), c.appId);
  }
  EXPECT_EQ(workspace->running().apps.size(), cases.size());

  // open of a running application brings its window back.
  EXPECT_EQ(workspace->open("tillerpad-one").outcome, AppWorkspace::OpenResult::Outcome::opened);
  EXPECT_TRUE(eventually([&] { return focusedAppId(sway) == "tillerpad-one"; })) << focusedAppId(sway);
  EXPECT_TRUE(eventually([&] { return active() == "tillerpad-one"; })) << active();

  // Closing it removes it and is announced.
  int before = changes;
  sway.swaymsg("'[app_id=tillerpad-one] kill'");
  EXPECT_TRUE(eventually([&] { return !has("tillerpad-one"); }));
  EXPECT_GT(changes.load(), before);

  // Not running any more: open launches it through its entry, on this
  // compositor although the environment names none.
  EXPECT_EQ(workspace->open("tillerpad-one").outcome, AppWorkspace::OpenResult::Outcome::opened);
  EXPECT_TRUE(eventually([&] { return has("tillerpad-one") && active() == "tillerpad-one"; })) << active();
  EXPECT_EQ(workspace->open("no-such-app").outcome, AppWorkspace::OpenResult::Outcome::unknown);
  sway.swaymsg("'[app_id=tillerpad-one] kill'");
  EXPECT_TRUE(eventually([&] { return !has("tillerpad-one"); }));
}

TEST_F(WlrootsSession, WorkspaceLeftAndRightThroughSwayIpc) {
  auto first = foot("tillerpad-ws1");
  ASSERT_TRUE(eventually([&] { return focusedAppId(sway) == "tillerpad-ws1"; }));
  sway.swaymsg("workspace 2");
  auto second = foot("tillerpad-ws2");
  ASSERT_TRUE(eventually([&] { return focusedAppId(sway) == "tillerpad-ws2"; }));

  auto backend = openBackend();
  ASSERT_TRUE(backend && backend->shortcuts());
  DesktopShortcuts& shortcuts = *backend->shortcuts();
  struct Case {
    std::string hotKeyId;
    bool performed;
    std::string workspace;  // focused afterwards
  };
  const std::vector<Case> cases{
      {"79", true, "1"},   // left
      {"81", true, "2"},   // right
      {"32", false, "2"},  // no overview in sway: nothing happens
      {"36", false, "2"},  // nor show-desktop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hotKeyId);
    EXPECT_EQ(shortcuts.shortcut(c.hotKeyId).state, DesktopShortcut::State::notSet);
    EXPECT_EQ(shortcuts.performDirectly(c.hotKeyId), c.performed);
    EXPECT_TRUE(eventually([&] { return focusedWorkspace(sway) == c.workspace; })) << focusedWorkspace(sway);
  }
  EXPECT_FALSE(SwayShortcuts("").performDirectly("79"));
  EXPECT_FALSE(SwayShortcuts(sway.runtimeDir() + "/no-such.sock").performDirectly("79"));
}

// ---- media keys ----

// A player on a bus connection of its own, recording the Player calls it gets.
class FakePlayer {
 public:
  FakePlayer(GMainContext* context, const std::string& name, std::string status) : status_(std::move(status)) {
    GError* error = nullptr;
    bus_ = g_dbus_connection_new_for_address_sync(
        g_getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus_) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
      return;
    }
    static const char* xml =
        "<node><interface name='org.mpris.MediaPlayer2.Player'><method name='PlayPause'/><method name='Next'/>"
        "<method name='Previous'/><property name='PlaybackStatus' type='s' access='read'/></interface></node>";
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable vtable{
        [](GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
           GDBusMethodInvocation* invocation, gpointer data) {
          auto* self = static_cast<FakePlayer*>(data);
          {
            std::lock_guard lock(self->mutex_);
            self->calls_.push_back(method);
          }
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GError**, gpointer data) {
          return g_variant_new_string(static_cast<FakePlayer*>(data)->status_.c_str());
        },
        nullptr, {}};
    // Calls are delivered to the context that is the thread default here.
    g_main_context_push_thread_default(context);
    g_dbus_connection_register_object(bus_, "/org/mpris/MediaPlayer2", info->interfaces[0], &vtable, this, nullptr,
                                      nullptr);
    g_main_context_pop_thread_default(context);
    g_dbus_node_info_unref(info);
    GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name.c_str(), 4u),
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    EXPECT_TRUE(reply);
    if (reply) g_variant_unref(reply);
  }
  ~FakePlayer() {
    if (!bus_) return;
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  GDBusConnection* bus_ = nullptr;
  std::string status_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST(WlrootsMediaKeys, ThePlayingPlayerElseTheFirstAndVolumeThroughTheKeyboard) {
  GTestDBus* testBus = g_test_dbus_new(G_TEST_DBUS_NONE);
  g_test_dbus_up(testBus);
  // The players' calls are dispatched on this thread, while it waits.
  GMainContext* context = g_main_context_new();
  auto pumped = [context](const std::function<bool()>& done) {
    return [context, done] {
      while (g_main_context_iteration(context, FALSE)) {
      }
      return done();
    };
  };
  {
    std::mutex keysMutex;
    std::vector<std::pair<MediaKey, bool>> keyboard;
    auto commands = linux_x11::makeWaylandSystemCommands(
        [&](MediaKey key, bool down) {
          std::lock_guard lock(keysMutex);
          keyboard.emplace_back(key, down);
          return true;
        },
        kit::Logger());

    struct Case {
      std::vector<std::pair<std::string, std::string>> players;  // name suffix, status
      MediaKey key;
      std::size_t receiver;
      std::string method;
    };
    const std::vector<Case> cases{
        {{{"a", "Paused"}, {"b", "Playing"}}, MediaKey::next, 1, "Next"},
        {{{"b", "Stopped"}, {"a", "Paused"}}, MediaKey::play, 1, "PlayPause"},  // none playing: "a" sorts first
        {{{"only", "Playing"}}, MediaKey::previous, 0, "Previous"},
    };
    int round = 0;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.method);
      std::vector<std::unique_ptr<FakePlayer>> players;
      for (const auto& [suffix, status] : c.players) {
        std::string name = "org.mpris.MediaPlayer2.r" + std::to_string(round) + suffix;
        players.push_back(std::make_unique<FakePlayer>(context, name, status));
      }
      ++round;
      EXPECT_TRUE(commands->postMediaKey(c.key, true));
      EXPECT_TRUE(commands->postMediaKey(c.key, false));
      EXPECT_TRUE(eventually(pumped([&] { return !players[c.receiver]->calls().empty(); }), 10s));
      EXPECT_EQ(players[c.receiver]->calls(), std::vector<std::string>{c.method});  // one call per press
      for (std::size_t i = 0; i < players.size(); ++i) {
        if (i != c.receiver) {
          EXPECT_TRUE(players[i]->calls().empty()) << i;
        }
      }
    }

    // The volume keys go to the keyboard, press and release, and never to a player.
    for (MediaKey key : {MediaKey::soundUp, MediaKey::soundDown, MediaKey::mute}) {
      EXPECT_TRUE(commands->postMediaKey(key, true));
      EXPECT_TRUE(commands->postMediaKey(key, false));
    }
    std::vector<std::pair<MediaKey, bool>> expected{{MediaKey::soundUp, true},   {MediaKey::soundUp, false},
                                                    {MediaKey::soundDown, true}, {MediaKey::soundDown, false},
                                                    {MediaKey::mute, true},      {MediaKey::mute, false}};
    {
      std::lock_guard lock(keysMutex);
      EXPECT_EQ(keyboard, expected);
    }

    // Display sleep is refused through the failure callback.
    std::promise<std::string> failure;
    commands->startPower(PowerRequest::displaySleep, [&](std::string why) { failure.set_value(why); });
    auto future = failure.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_NE(future.get().find("not available"), std::string::npos);
  }
  g_main_context_unref(context);
  g_test_dbus_down(testBus);
  g_object_unref(testBus);
}

}  // namespace
}  // namespace tillerpad::platform::wlroots
