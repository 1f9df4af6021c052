#include "platform/wlroots/wlroots_app_workspace.h"

#include <gio/gio.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "platform/linux/desktop_entries.h"
#include "platform/linux/window_source.h"
#include "platform/wlroots/sway_ipc.h"
#include "platform/wlroots/wayland_connection.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client.h"
#include "xdg-activation-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using namespace std::chrono_literals;
using linux_apps::ClientWindow;
using linux_apps::DesktopEntry;
using linux_apps::WindowSnapshot;
using linux_apps::WindowSource;

// How long a launch waits for an activation token; without one the new
// window still opens, the compositor just decides about its focus alone.
constexpr auto kTokenLimit = 500ms;

// Everything the connection's thread touches, shared with the tasks posted
// to it, so that a task still queued when the source goes keeps it alive.
struct State {
  struct Toplevel {
    State* state = nullptr;
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    unsigned long id = 0;
    // Double-buffered: events fill `pending`, done makes it current.
    struct Fields {
      std::string title, appId;
      bool activated = false;
      zwlr_foreign_toplevel_handle_v1* parent = nullptr;
    } pending, current;
    bool described = false;
  };
  struct Token {
    State* state = nullptr;
    xdg_activation_token_v1* token = nullptr;
    std::promise<std::string> value;
  };

  WaylandConnection* connection = nullptr;
  kit::Logger log;
  std::function<void()> changed;

  // ---- the connection's thread only ----
  wl_registry* registry = nullptr;
  zwlr_foreign_toplevel_manager_v1* manager = nullptr;
  xdg_activation_v1* activation = nullptr;
  std::map<unsigned long, std::unique_ptr<Toplevel>> toplevels;  // by id: oldest first
  std::vector<std::unique_ptr<Token>> tokens;
  unsigned long nextId = 1;

  // ---- shared ----
  std::mutex mutex;
  WindowSnapshot published;
  std::map<unsigned long, std::string> titles;  // of the published windows
  bool hasActivation = false;

  Toplevel* byHandle(zwlr_foreign_toplevel_handle_v1* handle) {
    for (auto& [id, t] : toplevels) {
      if (t->handle == handle) return t.get();
    }
    return nullptr;
  }

  void publish() {
    WindowSnapshot next;
    std::map<unsigned long, std::string> nextTitles;
    for (const auto& [id, t] : toplevels) {
      if (!t->described) continue;
      const auto& f = t->current;
      Toplevel* parent = f.parent ? byHandle(f.parent) : nullptr;
      ClientWindow w;
      w.id = id;
      w.gtkAppId = f.appId;
      w.wmClass = f.appId;
      w.transientFor = parent ? parent->id : 0;
      // A toplevel with a parent is a dialog or the like of another window.
      w.shown = parent == nullptr;
      next.windows.push_back(std::move(w));
      nextTitles[id] = f.title;
      if (f.activated) next.active = id;
    }
    bool differs;
    {
      std::lock_guard lock(mutex);
      differs = next != published;
      published = std::move(next);
      titles = std::move(nextTitles);
    }
    if (differs) changed();
  }

  // Called once the connection is gone: nothing runs any more.
  void forget() {
    bool had;
    {
      std::lock_guard lock(mutex);
      had = !published.windows.empty();
      published = {};
    }
    if (had) changed();
  }

  // ---- registry ----
  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    auto* s = static_cast<State*>(data);
    if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0 && !s->manager) {
      std::uint32_t v = std::min<std::uint32_t>(version, 3);
      s->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface, v));
      zwlr_foreign_toplevel_manager_v1_add_listener(s->manager, &managerListener, s);
    } else if (std::strcmp(interface, xdg_activation_v1_interface.name) == 0 && !s->activation) {
      s->activation =
          static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
      std::lock_guard lock(s->mutex);
      s->hasActivation = true;
    }
  }
  static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
  static constexpr wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};

  // ---- the manager ----
  static void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
    auto* s = static_cast<State*>(data);
    auto t = std::make_unique<Toplevel>();
    t->state = s;
    t->handle = handle;
    t->id = s->nextId++;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &toplevelListener, t.get());
    s->toplevels[t->id] = std::move(t);
  }
  static void onFinished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
    auto* s = static_cast<State*>(data);
    zwlr_foreign_toplevel_manager_v1_destroy(manager);
    s->manager = nullptr;
    s->log.notice("The compositor stopped listing toplevels: no running applications from now on");
  }
  static constexpr zwlr_foreign_toplevel_manager_v1_listener managerListener{&onToplevel, &onFinished};

  // ---- one toplevel ----
  static void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
    static_cast<Toplevel*>(data)->pending.title = title ? title : "";
  }
  static void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
    static_cast<Toplevel*>(data)->pending.appId = appId ? appId : "";
  }
  static void onOutputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
  static void onOutputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
  static void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
    auto* t = static_cast<Toplevel*>(data);
    t->pending.activated = false;
    const auto* items = static_cast<const std::uint32_t*>(states->data);
    for (std::size_t i = 0; i < states->size / sizeof(std::uint32_t); ++i) {
      if (items[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) t->pending.activated = true;
    }
  }
  static void onDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* t = static_cast<Toplevel*>(data);
    t->current = t->pending;
    t->described = true;
    t->state->publish();
  }
  static void onClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
    auto* t = static_cast<Toplevel*>(data);
    State* s = t->state;
    for (auto& [id, other] : s->toplevels) {
      if (other->pending.parent == handle) other->pending.parent = nullptr;
      if (other->current.parent == handle) other->current.parent = nullptr;
    }
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
    s->toplevels.erase(t->id);  // last use of t
    s->publish();
  }
  static void onParent(void* data, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1* parent) {
    static_cast<Toplevel*>(data)->pending.parent = parent;
  }
  static constexpr zwlr_foreign_toplevel_handle_v1_listener toplevelListener{
      &onTitle, &onAppId, &onOutputEnter, &onOutputLeave, &onState, &onDone, &onClosed, &onParent};

  // ---- activation tokens ----
  static void onTokenDone(void* data, xdg_activation_token_v1* token, const char* value) {
    auto* t = static_cast<Token*>(data);
    t->value.set_value(value ? value : "");
    xdg_activation_token_v1_destroy(token);
    std::erase_if(t->state->tokens, [t](const auto& p) { return p.get() == t; });  // last use of t
  }
  static constexpr xdg_activation_token_v1_listener tokenListener{&onTokenDone};

  void teardown() {
    for (auto& token : tokens) xdg_activation_token_v1_destroy(token->token);
    tokens.clear();
    for (auto& [id, t] : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(t->handle);
    toplevels.clear();
    if (manager) {
      zwlr_foreign_toplevel_manager_v1_stop(manager);
      zwlr_foreign_toplevel_manager_v1_destroy(manager);
      manager = nullptr;
    }
    if (activation) xdg_activation_v1_destroy(activation);
    activation = nullptr;
    if (registry) wl_registry_destroy(registry);
    registry = nullptr;
    wl_display_flush(connection->display());
  }
};

class ForeignToplevelSource final : public WindowSource {
 public:
  ForeignToplevelSource(std::shared_ptr<WaylandConnection> shared, std::string socket, kit::Logger log,
                        std::function<void()> changed)
      : keep_(std::move(shared)),
        connection_(*keep_),
        socket_(std::move(socket)),
        swaySocket_(sway_ipc::socketFromEnvironment()) {
    WaylandConnection& connection = connection_;
    state_ = std::make_shared<State>();
    state_->connection = &connection;
    state_->log = std::move(log);
    state_->changed = std::move(changed);
    lostToken_ = connection.subscribeLost([state = state_](const std::string&) { state->forget(); });
    bool posted = connection.post([state = state_] {
      state->registry = wl_display_get_registry(state->connection->display());
      wl_registry_add_listener(state->registry, &State::registryListener, state.get());
    });
    // The globals, then the toplevels the manager lists at once: the first
    // snapshot is complete.
    if (posted && connection.roundtrip() && connection.roundtrip()) {
      bool listed = connection.call([state = state_] { return state->manager != nullptr; }).value_or(false);
      if (!listed) state_->log.notice("The compositor lists no toplevels: installed applications only");
    }
  }

  ~ForeignToplevelSource() override {
    connection_.unsubscribe(lostToken_);
    // Queued behind earlier tasks; the task holds the state until it ran.
    connection_.finalCall([state = state_] { state->teardown(); });
  }

  WindowSnapshot snapshot() override {
    WindowSnapshot snap;
    std::map<unsigned long, std::string> titles;
    {
      std::lock_guard lock(state_->mutex);
      snap = state_->published;
      titles = state_->titles;
    }
    addPids(snap, titles);
    return snap;
  }

  bool activate(unsigned long window) override {
    return connection_
        .call([state = state_, window] {
          auto it = state->toplevels.find(window);
          wl_seat* seat = state->connection->seat();
          if (it == state->toplevels.end() || !seat) return false;
          zwlr_foreign_toplevel_handle_v1_activate(it->second->handle, seat);
          return wl_display_flush(state->connection->display()) >= 0;
        })
        .value_or(false);
  }

  std::function<void()> prepareLaunch(GAppLaunchContext* context, const DesktopEntry& entry) override {
    if (!socket_.empty()) g_app_launch_context_setenv(context, "WAYLAND_DISPLAY", socket_.c_str());
    if (auto token = activationToken(entry.id)) {
      // The first for clients of the activation protocol, the second for
      // those that only know startup ids (GTK 3 passes it on).
      g_app_launch_context_setenv(context, "XDG_ACTIVATION_TOKEN", token->c_str());
      g_app_launch_context_setenv(context, "DESKTOP_STARTUP_ID", token->c_str());
    }
    return {};
  }

 private:
  std::optional<std::string> activationToken(const std::string& appId) {
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->hasActivation) return std::nullopt;
    }
    auto future = connection_
                      .call([state = state_, appId] {
                        auto token = std::make_unique<State::Token>();
                        token->state = state.get();
                        auto value = token->value.get_future();
                        token->token = xdg_activation_v1_get_activation_token(state->activation);
                        xdg_activation_token_v1_add_listener(token->token, &State::tokenListener, token.get());
                        xdg_activation_token_v1_set_app_id(token->token, appId.c_str());
                        xdg_activation_token_v1_commit(token->token);
                        state->tokens.push_back(std::move(token));
                        return value.share();
                      })
                      .value_or(std::shared_future<std::string>());
    if (!future.valid() || future.wait_for(kTokenLimit) != std::future_status::ready) return std::nullopt;
    try {
      std::string token = future.get();
      if (token.empty()) return std::nullopt;
      return token;
    } catch (const std::future_error&) {
      return std::nullopt;
    }
  }

  // Toplevels carry no process id; sway's tree has one per view. A window
  // is looked up once, by app_id and title while they are unambiguous.
  void addPids(WindowSnapshot& snap, const std::map<unsigned long, std::string>& titles) {
    std::set<unsigned long> live;
    for (const auto& w : snap.windows) live.insert(w.id);
    std::erase_if(pids_, [&](const auto& entry) { return !live.contains(entry.first); });
    if (swaySocket_.empty()) return;
    std::optional<std::string> tree;
    for (auto& w : snap.windows) {
      if (w.wmClass.empty()) continue;
      auto known = pids_.find(w.id);
      if (known == pids_.end()) {
        if (!tree) tree = sway_ipc::request(swaySocket_, sway_ipc::Message::getTree, "").value_or("");
        auto title = titles.find(w.id);
        long pid = title == titles.end() ? 0 : sway_ipc::viewPid(*tree, w.wmClass, title->second).value_or(0);
        known = pids_.emplace(w.id, pid).first;
      }
      w.pid = known->second;
    }
  }

  std::shared_ptr<WaylandConnection> keep_;
  WaylandConnection& connection_;
  std::string socket_, swaySocket_;
  std::shared_ptr<State> state_;
  int lostToken_ = 0;
  std::map<unsigned long, long> pids_;  // the workspace's caller only
};

}  // namespace

std::unique_ptr<AppWorkspace> openWlrootsAppWorkspace(std::shared_ptr<WaylandConnection> connection,
                                                      const std::string& socket, kit::Logger log) {
  auto makeSource = [connection, socket, log](std::function<void()> changed) -> std::shared_ptr<WindowSource> {
    return std::make_shared<ForeignToplevelSource>(connection, socket, log, std::move(changed));
  };
  return linux_apps::openAppWorkspace(makeSource, std::move(log));
}

}  // namespace tillerpad::platform::wlroots
