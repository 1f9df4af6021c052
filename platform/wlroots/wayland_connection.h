#pragma once

// One client connection to a Wayland compositor, with its event loop on a
// thread of its own. Everything that touches Wayland objects runs on that
// thread: callers hand work to it with post() or call().
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kit/common/log.h"
#include "platform/display_query.h"
#include "platform/geometry.h"

struct wl_display;
struct wl_interface;
struct wl_output;
struct wl_proxy;
struct wl_seat;

namespace tillerpad::platform::wlroots {

// A global the owner wants bound, at the highest version both sides know.
struct WantedGlobal {
  const wl_interface* interface = nullptr;
  std::uint32_t maxVersion = 1;
};

// One wl_output as the compositor describes it. `id` is the output's
// registry name: stable while the output exists, never reused for another
// in practice (the compositor counts names upward).
struct OutputInfo {
  std::uint32_t id = 0;
  wl_output* output = nullptr;  // for requests on the connection's thread
  std::string name;             // "HEADLESS-1", "DP-2"; from xdg-output or wl_output v4
  std::string description;
  Rect logical;                 // position and size in the layout (xdg-output)
  std::int32_t pixelWidth = 0;  // current mode
  std::int32_t pixelHeight = 0;
  std::int32_t scale = 1;
  std::int32_t transform = 0;
  friend bool operator==(const OutputInfo&, const OutputInfo&) = default;
};

// The displays of a set of outputs. The main one is the output whose
// logical rectangle holds the layout origin (0,0), else the top-left-most
// (smallest x, then smallest y); ties go to the older output. Wayland has no
// "primary" output, and sway lays outputs out from (0,0) to the right, so
// this is the left-most one there. Order: main first, then by position.
std::vector<DisplayInfo> displaysFromOutputs(const std::vector<OutputInfo>& outputs);

// The bounding box of all outputs' logical rectangles (empty when none).
Rect layoutBounds(const std::vector<OutputInfo>& outputs);

class WaylandConnection {
 public:
  static constexpr std::chrono::milliseconds defaultLimit{2000};

  // Connects to `socket` (a name relative to $XDG_RUNTIME_DIR or an absolute
  // path; empty: $WAYLAND_DISPLAY, then "wayland-0"), binds wl_seat (the
  // first one), wl_output, zxdg_output_manager_v1 and every wanted global it
  // is offered, waits (bounded) until the outputs are described, and starts
  // the event thread. Null when the compositor cannot be reached or does not
  // answer within `limit`.
  static std::unique_ptr<WaylandConnection> open(const std::string& socket, std::vector<WantedGlobal> wanted,
                                                 kit::Logger log,
                                                 std::chrono::milliseconds limit = defaultLimit);
  ~WaylandConnection();
  WaylandConnection(const WaylandConnection&) = delete;
  WaylandConnection& operator=(const WaylandConnection&) = delete;

  // Globals as bound (proxy and version); null/0 when not offered. The
  // proxies may only be used on the connection's thread. Stable after
  // open(): a wanted global announced later is bound then (thread-safe read).
  wl_proxy* global(const wl_interface* interface) const;
  std::uint32_t globalVersion(const wl_interface* interface) const;
  template <class T>
  T* global(const wl_interface* interface) const {
    return reinterpret_cast<T*>(global(interface));
  }
  wl_seat* seat() const;
  // The seat's wl_seat.capability bits as last announced, and a callback
  // (connection thread) for later changes; setting it again waits for a
  // call in flight. The connection owns the seat's listener.
  std::uint32_t seatCapabilities() const;
  void setOnSeatCapabilities(std::function<void(std::uint32_t)> onChanged);
  // Every interface name the registry announced, with its version.
  std::vector<std::pair<std::string, std::uint32_t>> advertised() const;

  // Runs `task` on the connection's thread, in order, after earlier posts.
  // False (and `task` dropped) once the connection is lost or closing.
  bool post(std::function<void()> task);

  // Runs `f` (copyable) on the connection's thread and returns its result; nothing
  // when the connection is lost or `f` did not finish within `limit` (it
  // may still run later, so it must own what it touches). On the
  // connection's thread itself `f` runs at once.
  template <class F>
  auto call(F&& f, std::chrono::milliseconds limit = defaultLimit)
      -> std::optional<std::conditional_t<std::is_void_v<std::invoke_result_t<F>>, bool, std::invoke_result_t<F>>> {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
      bool ran = callErased([g = std::forward<F>(f)]() mutable { g(); }, limit);
      return ran ? std::optional<bool>(true) : std::nullopt;
    } else {
      auto slot = std::make_shared<std::optional<R>>();
      bool ran = callErased([g = std::forward<F>(f), slot]() mutable { slot->emplace(g()); }, limit);
      if (!ran) return std::nullopt;
      return std::move(*slot);
    }
  }

  // Sends what is queued and waits until the compositor has handled it
  // (wl_display.sync); false on a lost connection or after `limit`. Must not
  // be called on the connection's thread.
  bool roundtrip(std::chrono::milliseconds limit = defaultLimit);

  bool lost() const;

  // For tearing down: runs `f` like call(), or, once the connection is lost
  // and its thread has ended, on the caller's thread (destroying proxies of
  // a lost connection frees their memory). False when neither happened
  // within `limit`.
  bool finalCall(std::function<void()> f, std::chrono::milliseconds limit = defaultLimit);
  bool onConnectionThread() const;

  // Called once, on the connection's thread, when the compositor goes away
  // (protocol error, hang-up, read failure). A subscriber added after the
  // loss is called at once on the caller's thread. Returns a token for
  // unsubscribe(), which waits for a call in flight (of either kind).
  int subscribeLost(std::function<void(const std::string& why)> onLost);
  void unsubscribe(int token);

  // The outputs that are fully described, oldest first.
  std::vector<OutputInfo> outputs() const;
  // Called on the connection's thread after an output was added, changed or
  // removed. Set before relying on it; setting it again replaces it.
  void setOnOutputsChanged(std::function<void()> onChanged);
  // Like setOnOutputsChanged, for any number of parts at once; the token
  // goes to unsubscribe().
  int subscribeOutputsChanged(std::function<void()> onChanged);

  wl_display* display() const;

  struct Impl;

 private:
  explicit WaylandConnection(std::unique_ptr<Impl> impl);
  bool callErased(std::function<void()> f, std::chrono::milliseconds limit);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillerpad::platform::wlroots
