#include "platform/wlroots/wayland_connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "xdg-output-unstable-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t clampVersion(std::uint32_t offered, const wl_interface* interface, std::uint32_t wanted) {
  return std::min({offered, static_cast<std::uint32_t>(interface->version), wanted});
}

}  // namespace

std::vector<DisplayInfo> displaysFromOutputs(const std::vector<OutputInfo>& outputs) {
  std::vector<DisplayInfo> out;
  for (const OutputInfo& o : outputs) {
    if (o.logical.isEmpty()) continue;
    out.push_back({o.id, o.logical, o.name, false});
  }
  if (out.empty()) return out;
  auto atOrigin = std::find_if(out.begin(), out.end(), [](const DisplayInfo& d) { return d.bounds.contains({0, 0}); });
  auto main = atOrigin != out.end()
                  ? atOrigin
                  : std::min_element(out.begin(), out.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
                      return std::pair(a.bounds.x, a.bounds.y) < std::pair(b.bounds.x, b.bounds.y);
                    });
  main->isMain = true;
  std::stable_sort(out.begin(), out.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
    if (a.isMain != b.isMain) return a.isMain;
    return std::pair(a.bounds.x, a.bounds.y) < std::pair(b.bounds.x, b.bounds.y);
  });
  return out;
}

Rect layoutBounds(const std::vector<OutputInfo>& outputs) {
  bool any = false;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (const OutputInfo& o : outputs) {
    if (o.logical.isEmpty()) continue;
    x0 = any ? std::min(x0, o.logical.minX()) : o.logical.minX();
    y0 = any ? std::min(y0, o.logical.minY()) : o.logical.minY();
    x1 = any ? std::max(x1, o.logical.maxX()) : o.logical.maxX();
    y1 = any ? std::max(y1, o.logical.maxY()) : o.logical.maxY();
    any = true;
  }
  return any ? Rect{x0, y0, x1 - x0, y1 - y0} : Rect{};
}

struct WaylandConnection::Impl {
  struct Bound {
    wl_proxy* proxy = nullptr;
    std::uint32_t version = 0;
    std::uint32_t name = 0;
  };
  struct Output {
    Impl* impl = nullptr;
    OutputInfo info;
    zxdg_output_v1* xdg = nullptr;
    std::uint32_t version = 0;
    bool described = false;    // a wl_output.done arrived
    bool hasLogical = false;   // xdg-output gave position and size
    std::int32_t geometryX = 0, geometryY = 0;
  };

  kit::Logger log;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  std::vector<WantedGlobal> wanted;
  int wake = -1;
  std::thread thread;
  // Set when the event thread has returned: after a loss, objects may then
  // be destroyed from any thread.
  std::promise<void> threadEnded;
  std::shared_future<void> threadEndedFuture = threadEnded.get_future().share();
  std::atomic<bool> stopping{false};
  std::atomic<bool> isLost{false};

  mutable std::mutex mutex;  // globals, outputs, tasks, the reason of a loss
  std::map<const wl_interface*, Bound> globals;
  std::vector<std::pair<std::string, std::uint32_t>> advertised;
  Bound seat;
  std::uint32_t seatCapabilities = 0;
  std::function<void(std::uint32_t)> onSeatCapabilities;
  Bound xdgManager;
  std::map<std::uint32_t, std::unique_ptr<Output>> outputs;  // by registry name: oldest first
  std::deque<std::function<void()>> tasks;
  std::string lostReason;

  // Held while a callback runs, so that replacing one waits for it.
  std::mutex callbackMutex;
  std::map<int, std::function<void(const std::string&)>> lostSubscribers;
  int nextToken = 1;
  std::function<void()> onOutputsChanged;
  std::map<int, std::function<void()>> outputSubscribers;

  // Pending wl_display.sync calls of roundtrip(): destroyed on loss or close.
  struct Sync {
    Impl* impl = nullptr;
    wl_callback* callback = nullptr;
    std::promise<void> done;
  };
  std::vector<std::shared_ptr<Sync>> syncs;

  static void onSyncDone(void* data, wl_callback* callback, std::uint32_t) {
    auto* s = static_cast<Sync*>(data);
    wl_callback_destroy(callback);
    s->callback = nullptr;
    s->done.set_value();
    Impl* impl = s->impl;
    std::lock_guard lock(impl->mutex);
    std::erase_if(impl->syncs, [s](const auto& p) { return p.get() == s; });  // last use of s
  }
  static constexpr wl_callback_listener syncListener{&onSyncDone};

  ~Impl() {
    for (auto& [name, output] : outputs) {
      if (output->xdg) zxdg_output_v1_destroy(output->xdg);
      if (output->info.output) wl_output_destroy(output->info.output);
    }
    for (auto& sync : syncs) {
      if (sync->callback) wl_callback_destroy(sync->callback);
    }
    for (auto& [interface, bound] : globals) {
      if (bound.proxy) wl_proxy_destroy(bound.proxy);
    }
    if (xdgManager.proxy) zxdg_output_manager_v1_destroy(reinterpret_cast<zxdg_output_manager_v1*>(xdgManager.proxy));
    if (seat.proxy) wl_proxy_destroy(seat.proxy);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
    if (wake >= 0) close(wake);
  }

  // ---- registry ----

  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    static_cast<Impl*>(data)->global(registry, name, interface, version);
  }
  static void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<Impl*>(data)->globalRemoved(name);
  }
  static constexpr wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};

  void global(wl_registry* reg, std::uint32_t name, const char* interface, std::uint32_t version) {
    std::unique_lock lock(mutex);
    advertised.emplace_back(interface, version);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !seat.proxy) {
      std::uint32_t v = clampVersion(version, &wl_seat_interface, 7);
      seat = {static_cast<wl_proxy*>(wl_registry_bind(reg, name, &wl_seat_interface, v)), v, name};
      wl_seat_add_listener(reinterpret_cast<wl_seat*>(seat.proxy), &seatListener, this);
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
      addOutput(reg, name, version);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !xdgManager.proxy) {
      std::uint32_t v = clampVersion(version, &zxdg_output_manager_v1_interface, 3);
      xdgManager = {static_cast<wl_proxy*>(wl_registry_bind(reg, name, &zxdg_output_manager_v1_interface, v)), v, name};
      for (auto& [n, output] : outputs) listenXdg(*output);
    }
    for (const WantedGlobal& w : wanted) {
      if (std::strcmp(interface, w.interface->name) != 0 || globals.contains(w.interface)) continue;
      std::uint32_t v = clampVersion(version, w.interface, w.maxVersion);
      globals[w.interface] = {static_cast<wl_proxy*>(wl_registry_bind(reg, name, w.interface, v)), v, name};
    }
  }

  void globalRemoved(std::uint32_t name) {
    {
      std::lock_guard lock(mutex);
      auto it = outputs.find(name);
      if (it == outputs.end()) return;
      if (it->second->xdg) zxdg_output_v1_destroy(it->second->xdg);
      if (it->second->version >= 3) {
        wl_output_release(it->second->info.output);
      } else {
        wl_output_destroy(it->second->info.output);
      }
      outputs.erase(it);
    }
    outputsChanged();
  }

  static void onCapabilities(void* data, wl_seat*, std::uint32_t capabilities) {
    auto* impl = static_cast<Impl*>(data);
    {
      std::lock_guard lock(impl->mutex);
      impl->seatCapabilities = capabilities;
    }
    std::lock_guard lock(impl->callbackMutex);
    if (impl->onSeatCapabilities) impl->onSeatCapabilities(capabilities);
  }
  static void onSeatName(void*, wl_seat*, const char*) {}
  static constexpr wl_seat_listener seatListener{&onCapabilities, &onSeatName};

  // ---- outputs ----

  void addOutput(wl_registry* reg, std::uint32_t name, std::uint32_t version) {
    auto output = std::make_unique<Output>();
    output->impl = this;
    output->version = clampVersion(version, &wl_output_interface, 4);
    output->info.id = name;
    output->info.output = static_cast<wl_output*>(wl_registry_bind(reg, name, &wl_output_interface, output->version));
    wl_output_add_listener(output->info.output, &outputListener, output.get());
    if (xdgManager.proxy) listenXdg(*output);
    outputs[name] = std::move(output);
  }

  void listenXdg(Output& output) {
    if (output.xdg) return;
    output.xdg = zxdg_output_manager_v1_get_xdg_output(reinterpret_cast<zxdg_output_manager_v1*>(xdgManager.proxy),
                                                       output.info.output);
    zxdg_output_v1_add_listener(output.xdg, &xdgListener, &output);
  }

  // Without xdg-output: the compositor position and the mode divided by the scale.
  static void fallbackLogical(Output& o) {
    if (o.hasLogical) return;
    double w = o.info.pixelWidth, h = o.info.pixelHeight;
    if (o.info.transform % 2 == 1) std::swap(w, h);  // 90 and 270 degrees, flipped or not
    int scale = std::max(1, o.info.scale);
    o.info.logical = {static_cast<double>(o.geometryX), static_cast<double>(o.geometryY), w / scale, h / scale};
  }

  static void onGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
                         std::int32_t, const char*, const char*, std::int32_t transform) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->geometryX = x;
    o->geometryY = y;
    o->info.transform = transform;
  }
  static void onMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                     std::int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.pixelWidth = width;
    o->info.pixelHeight = height;
  }
  static void onDone(void* data, wl_output*) {
    auto* o = static_cast<Output*>(data);
    {
      std::lock_guard lock(o->impl->mutex);
      fallbackLogical(*o);
      o->described = true;
    }
    o->impl->outputsChanged();
  }
  static void onScale(void* data, wl_output*, std::int32_t factor) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.scale = factor;
  }
  static void onName(void* data, wl_output*, const char* name) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.name = name;
  }
  static void onDescription(void* data, wl_output*, const char* description) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.description = description;
  }
  static constexpr wl_output_listener outputListener{&onGeometry, &onMode, &onDone, &onScale, &onName, &onDescription};

  static void onLogicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.logical.x = x;
    o->info.logical.y = y;
  }
  static void onLogicalSize(void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    o->info.logical.width = w;
    o->info.logical.height = h;
    o->hasLogical = true;
  }
  // Only before version 3; later ones end a change with wl_output.done.
  static void onXdgDone(void* data, zxdg_output_v1*) { onDone(data, nullptr); }
  static void onXdgName(void* data, zxdg_output_v1*, const char* name) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    if (o->info.name.empty() || o->version < 4) o->info.name = name;
  }
  static void onXdgDescription(void* data, zxdg_output_v1*, const char* description) {
    auto* o = static_cast<Output*>(data);
    std::lock_guard lock(o->impl->mutex);
    if (o->info.description.empty()) o->info.description = description;
  }
  static constexpr zxdg_output_v1_listener xdgListener{&onLogicalPosition, &onLogicalSize, &onXdgDone, &onXdgName,
                                                       &onXdgDescription};

  void outputsChanged() {
    std::lock_guard lock(callbackMutex);
    if (onOutputsChanged) onOutputsChanged();
    for (auto& [token, subscriber] : outputSubscribers) subscriber();
  }

  std::vector<OutputInfo> describedOutputs() const {
    std::lock_guard lock(mutex);
    std::vector<OutputInfo> out;
    for (const auto& [name, output] : outputs) {
      if (output->described) out.push_back(output->info);
    }
    return out;
  }

  bool allOutputsDescribed() const {
    std::lock_guard lock(mutex);
    return std::all_of(outputs.begin(), outputs.end(), [this](const auto& entry) {
      return entry.second->described && (!xdgManager.proxy || entry.second->hasLogical);
    });
  }

  // ---- the event loop ----

  // Reads and dispatches until `done` holds, the connection fails or the
  // deadline passes. The same steps as the thread's loop, for open().
  bool pumpUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    while (!done()) {
      while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return false;
      }
      if (done()) {
        wl_display_cancel_read(display);
        return true;
      }
      wl_display_flush(display);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd fd{wl_display_get_fd(display), POLLIN, 0};
      if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) {
        wl_display_cancel_read(display);
        return false;
      }
      if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) return false;
    }
    return true;
  }

  bool syncOnce(Clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    static constexpr wl_callback_listener listener{[](void* data, wl_callback*, std::uint32_t) {
      *static_cast<bool*>(data) = true;
    }};
    wl_callback_add_listener(callback, &listener, &done);
    bool ok = pumpUntil([&] { return done; }, deadline);
    wl_callback_destroy(callback);
    return ok;
  }

  void runTasks() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard lock(mutex);
        if (tasks.empty()) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }

  void run() {
    int fd = wl_display_get_fd(display);
    while (!stopping) {
      runTasks();
      while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return fail("dispatch failed");
      }
      bool wantWrite = false;
      if (wl_display_flush(display) < 0) {
        if (errno != EAGAIN) {
          wl_display_cancel_read(display);
          return fail("cannot write to the compositor");
        }
        wantWrite = true;  // the socket is full: wait until it drains
      }
      pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wake, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        wl_display_cancel_read(display);
        if (errno == EINTR) continue;
        return fail("poll failed");
      }
      if (fds[0].revents & POLLIN) {
        if (wl_display_read_events(display) < 0) return fail("reading from the compositor failed");
      } else {
        wl_display_cancel_read(display);
        if (fds[0].revents & (POLLERR | POLLHUP)) return fail("the compositor hung up");
      }
      if (wl_display_dispatch_pending(display) < 0) return fail("dispatch failed");
      if (fds[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = read(wake, &count, sizeof count);
      }
    }
  }

  void fail(const std::string& what) {
    std::string why = what;
    if (int error = wl_display_get_error(display)) {
      why += std::string(": ") + std::strerror(error);
      const wl_interface* interface = nullptr;
      std::uint32_t id = 0;
      std::uint32_t code = wl_display_get_protocol_error(display, &interface, &id);
      if (error == EPROTO && interface) {
        why += " (protocol error " + std::to_string(code) + " on " + interface->name + "@" + std::to_string(id) + ")";
      }
    }
    std::deque<std::function<void()>> dropped;
    std::vector<std::shared_ptr<Sync>> abandoned;
    {
      std::lock_guard lock(mutex);
      lostReason = why;
      isLost = true;
      dropped.swap(tasks);
      abandoned.swap(syncs);
    }
    // Their promises break, so waiting callers return at once.
    dropped.clear();
    for (auto& sync : abandoned) {
      if (sync->callback) wl_callback_destroy(sync->callback);
    }
    abandoned.clear();
    log.error("Lost the Wayland compositor: " + why);
    std::lock_guard lock(callbackMutex);
    for (auto& [token, subscriber] : lostSubscribers) subscriber(why);
  }

  void wakeUp() const {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = write(wake, &one, sizeof one);
  }
};

std::unique_ptr<WaylandConnection> WaylandConnection::open(const std::string& socket, std::vector<WantedGlobal> wanted,
                                                           kit::Logger log, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  auto impl = std::make_unique<Impl>();
  impl->log = std::move(log);
  impl->wanted = std::move(wanted);
  impl->display = wl_display_connect(socket.empty() ? nullptr : socket.c_str());
  if (!impl->display) {
    impl->log.error("Cannot connect to the Wayland compositor" + (socket.empty() ? std::string() : " at " + socket) +
                    ": " + std::strerror(errno));
    return nullptr;
  }
  impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wake < 0) return nullptr;
  impl->registry = wl_display_get_registry(impl->display);
  wl_registry_add_listener(impl->registry, &Impl::registryListener, impl.get());
  // The first round trip brings the globals, the second what the outputs
  // (and their xdg-outputs) say about themselves.
  if (!impl->syncOnce(deadline) || !impl->syncOnce(deadline) ||
      !impl->pumpUntil([&] { return impl->allOutputsDescribed(); }, deadline)) {
    impl->log.error("The Wayland compositor did not answer in time");
    return nullptr;
  }
  auto connection = std::unique_ptr<WaylandConnection>(new WaylandConnection(std::move(impl)));
  Impl* raw = connection->impl_.get();
  raw->thread = std::thread([raw] {
    raw->run();
    raw->threadEnded.set_value();
  });
  return connection;
}

WaylandConnection::WaylandConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WaylandConnection::~WaylandConnection() {
  impl_->stopping = true;
  impl_->wakeUp();
  if (impl_->thread.joinable()) impl_->thread.join();
}

wl_proxy* WaylandConnection::global(const wl_interface* interface) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->globals.find(interface);
  return it == impl_->globals.end() ? nullptr : it->second.proxy;
}

std::uint32_t WaylandConnection::globalVersion(const wl_interface* interface) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->globals.find(interface);
  return it == impl_->globals.end() ? 0 : it->second.version;
}

wl_seat* WaylandConnection::seat() const {
  std::lock_guard lock(impl_->mutex);
  return reinterpret_cast<wl_seat*>(impl_->seat.proxy);
}

std::uint32_t WaylandConnection::seatCapabilities() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->seatCapabilities;
}

void WaylandConnection::setOnSeatCapabilities(std::function<void(std::uint32_t)> onChanged) {
  std::lock_guard lock(impl_->callbackMutex);
  impl_->onSeatCapabilities = std::move(onChanged);
}

std::vector<std::pair<std::string, std::uint32_t>> WaylandConnection::advertised() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->advertised;
}

bool WaylandConnection::post(std::function<void()> task) {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->isLost || impl_->stopping) return false;
    impl_->tasks.push_back(std::move(task));
  }
  impl_->wakeUp();
  return true;
}

bool WaylandConnection::callErased(std::function<void()> f, std::chrono::milliseconds limit) {
  if (onConnectionThread()) {
    f();
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  if (!post([f = std::move(f), done] {
        f();
        done->set_value();
      })) {
    return false;
  }
  if (future.wait_for(limit) != std::future_status::ready) return false;
  try {
    future.get();
    return true;
  } catch (const std::future_error&) {
    return false;  // dropped: the connection was lost or closed
  }
}

bool WaylandConnection::roundtrip(std::chrono::milliseconds limit) {
  auto sync = std::make_shared<Impl::Sync>();
  sync->impl = impl_.get();
  auto future = sync->done.get_future();
  // The connection keeps the sync until its answer; dropped unanswered, its
  // promise breaks and the wait below ends.
  bool posted = post([sync] {
    Impl* impl = sync->impl;
    sync->callback = wl_display_sync(impl->display);
    wl_callback_add_listener(sync->callback, &Impl::syncListener, sync.get());
    std::lock_guard lock(impl->mutex);
    impl->syncs.push_back(sync);
  });
  if (!posted) return false;
  if (future.wait_for(limit) != std::future_status::ready) return false;
  try {
    future.get();
    return true;
  } catch (const std::future_error&) {
    return false;
  }
}

bool WaylandConnection::lost() const { return impl_->isLost; }

bool WaylandConnection::finalCall(std::function<void()> f, std::chrono::milliseconds limit) {
  if (callErased(f, limit)) return true;
  // Lost: the proxies still hold memory. Once the event thread has returned
  // nothing else touches them, so they go here.
  if (!impl_->isLost || impl_->threadEndedFuture.wait_for(limit) != std::future_status::ready) return false;
  f();
  return true;
}

bool WaylandConnection::onConnectionThread() const { return std::this_thread::get_id() == impl_->thread.get_id(); }

int WaylandConnection::subscribeLost(std::function<void(const std::string& why)> onLost) {
  std::unique_lock lock(impl_->callbackMutex);
  int token = impl_->nextToken++;
  if (impl_->isLost) {
    std::string why;
    {
      std::lock_guard inner(impl_->mutex);
      why = impl_->lostReason;
    }
    lock.unlock();
    onLost(why);
    return token;
  }
  impl_->lostSubscribers[token] = std::move(onLost);
  return token;
}

void WaylandConnection::unsubscribe(int token) {
  std::lock_guard lock(impl_->callbackMutex);
  impl_->lostSubscribers.erase(token);
  impl_->outputSubscribers.erase(token);
}

int WaylandConnection::subscribeOutputsChanged(std::function<void()> onChanged) {
  std::lock_guard lock(impl_->callbackMutex);
  int token = impl_->nextToken++;
  impl_->outputSubscribers[token] = std::move(onChanged);
  return token;
}

std::vector<OutputInfo> WaylandConnection::outputs() const { return impl_->describedOutputs(); }

void WaylandConnection::setOnOutputsChanged(std::function<void()> onChanged) {
  std::lock_guard lock(impl_->callbackMutex);
  impl_->onOutputsChanged = std::move(onChanged);
}

wl_display* WaylandConnection::display() const { return impl_->display; }

}  // namespace tillerpad::platform::wlroots
