// Pointer latency on a headless sway: a phone's move datagram through the
// UDP fast channel, the real server and the injector into the wlroots virtual
// pointer, until a Wayland client of the bench's own, a full-screen surface,
// gets its wl_pointer.motion. One move at a time, alternating direction, so
// every move changes the position; prints p50, p90, p99 and the worst.
// Starts its own sway (skips with the reason when it cannot):
//   build-rel/bench/tillerpad_bench_wlr_pointer [samples]
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/loopback_desktop.h"
#include "platform/wlroots/wayland_connection.h"
#include "platform/wlroots/wlr_input.h"
#include "tests/support/wayland_session.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"
#include "xdg-shell-client.h"

namespace tillerpad::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A full-screen surface on a connection of its own that counts the seat's
// pointer motions over it. pump() runs on the calling thread only.
class MotionClient {
 public:
  explicit MotionClient(const std::string& socket) {
    display_ = wl_display_connect(socket.c_str());
    if (!display_) throw std::runtime_error("cannot connect to " + socket);
    wl_registry* registry = wl_display_get_registry(display_);
    wl_registry_add_listener(registry, &registryListener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (!compositor_ || !shm_ || !wm_ || !seat_) throw std::runtime_error("the compositor lacks a global the client needs");
    xdg_wm_base_add_listener(wm_, &wmListener, nullptr);
    // The seat has a pointer once the virtual pointer exists; asking before is a protocol error.
    wl_seat_add_listener(seat_, &seatListener, this);
    for (auto end = Clock::now() + 5s; !hasPointer_ && Clock::now() < end && wl_display_roundtrip(display_) >= 0;) {
    }
    if (!hasPointer_) throw std::runtime_error("the seat has no pointer");
    pointer_ = wl_seat_get_pointer(seat_);
    wl_pointer_add_listener(pointer_, &pointerListener, this);
    surface_ = wl_compositor_create_surface(compositor_);
    xdg_ = xdg_wm_base_get_xdg_surface(wm_, surface_);
    xdg_surface_add_listener(xdg_, &xdgListener, this);
    toplevel_ = xdg_surface_get_toplevel(xdg_);
    xdg_toplevel_set_fullscreen(toplevel_, nullptr);
    wl_surface_commit(surface_);
    for (auto end = Clock::now() + 5s; !configured_ && Clock::now() < end && wl_display_roundtrip(display_) >= 0;) {
    }
    // One grey buffer: the compositor sends pointer events only over a mapped surface.
    const int w = 1280, h = 800;
    std::size_t size = std::size_t(w) * h * 4;
    int fd = memfd_create("motion", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) throw std::runtime_error("no shared memory");
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(size));
    buffer_ = wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(surface_, buffer_, 0, 0);
    wl_surface_damage(surface_, 0, 0, w, h);
    wl_surface_commit(surface_);
    wl_display_roundtrip(display_);
  }
  ~MotionClient() {
    if (buffer_) wl_buffer_destroy(buffer_);
    wl_display_disconnect(display_);
  }

  // Reads what arrived, waiting up to `limit` for something; the motions
  // read, and when the last of them was read.
  std::size_t pump(std::chrono::milliseconds limit, Clock::time_point& at) {
    motions_ = 0;
    while (wl_display_prepare_read(display_) != 0) wl_display_dispatch_pending(display_);
    wl_display_flush(display_);
    pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(limit.count())) > 0) {
      wl_display_read_events(display_);
    } else {
      wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0) throw std::runtime_error("the client's connection failed");
    if (motions_) at = Clock::now();
    return motions_;
  }
  void drain() {
    Clock::time_point ignored;
    wl_display_roundtrip(display_);
    while (pump(0ms, ignored) > 0) {
    }
  }

 private:
  static void onGlobal(void* data, wl_registry* r, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* c = static_cast<MotionClient*>(data);
    std::string i = interface;
    if (i == "wl_compositor") c->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
    if (i == "wl_shm") c->shm_ = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
    if (i == "xdg_wm_base") c->wm_ = static_cast<xdg_wm_base*>(wl_registry_bind(r, name, &xdg_wm_base_interface, 1));
    if (i == "wl_seat" && !c->seat_) c->seat_ = static_cast<wl_seat*>(wl_registry_bind(r, name, &wl_seat_interface, 5));
  }
  static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
  static constexpr wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};
  static void onPing(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
  static constexpr xdg_wm_base_listener wmListener{&onPing};
  static void onConfigure(void* data, xdg_surface* s, std::uint32_t serial) {
    xdg_surface_ack_configure(s, serial);
    static_cast<MotionClient*>(data)->configured_ = true;
  }
  static constexpr xdg_surface_listener xdgListener{&onConfigure};
  static void onCapabilities(void* data, wl_seat*, std::uint32_t caps) {
    static_cast<MotionClient*>(data)->hasPointer_ = (caps & WL_SEAT_CAPABILITY_POINTER) != 0;
  }
  static void onSeatName(void*, wl_seat*, const char*) {}
  static constexpr wl_seat_listener seatListener{&onCapabilities, &onSeatName};
  static void onMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t, wl_fixed_t) {
    ++static_cast<MotionClient*>(data)->motions_;
  }
  // The pointer arriving over the surface is its first motion for this client.
  static void onEnter(void* data, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t, wl_fixed_t) {
    ++static_cast<MotionClient*>(data)->motions_;
  }
  static void onLeave(void*, wl_pointer*, std::uint32_t, wl_surface*) {}
  static void onButton(void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
  static void onAxis(void*, wl_pointer*, std::uint32_t, std::uint32_t, wl_fixed_t) {}
  static void onFrame(void*, wl_pointer*) {}
  static void onAxisSource(void*, wl_pointer*, std::uint32_t) {}
  static void onAxisStop(void*, wl_pointer*, std::uint32_t, std::uint32_t) {}
  static void onAxisDiscrete(void*, wl_pointer*, std::uint32_t, std::int32_t) {}
  static void onAxisValue120(void*, wl_pointer*, std::uint32_t, std::int32_t) {}
  static constexpr wl_pointer_listener pointerListener{&onEnter,      &onLeave,    &onMotion,       &onButton,
                                                       &onAxis,       &onFrame,    &onAxisSource,   &onAxisStop,
                                                       &onAxisDiscrete, &onAxisValue120};

  wl_display* display_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* wm_ = nullptr;
  wl_seat* seat_ = nullptr;
  wl_pointer* pointer_ = nullptr;
  wl_surface* surface_ = nullptr;
  xdg_surface* xdg_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  wl_buffer* buffer_ = nullptr;
  bool configured_ = false, hasPointer_ = false;
  std::size_t motions_ = 0;
};

int run(int samples) {
  test::PrivateSway sway;
  if (!sway.running()) {
    std::printf("wlroots pointer bench: skipped: %s\n", sway.skipReason().c_str());
    return 0;
  }
  std::shared_ptr<platform::wlroots::WaylandConnection> connection = platform::wlroots::WaylandConnection::open(
      sway.socketPath(), {{&zwlr_virtual_pointer_manager_v1_interface, 2}, {&zwp_virtual_keyboard_manager_v1_interface, 1}},
      kit::Logger());
  auto input = connection ? platform::wlroots::WlrInput::open(connection, kit::Logger()) : nullptr;
  if (!input) throw std::runtime_error("no virtual pointer on sway");
  MotionClient client(sway.socketPath());
  LoopbackDesktop desktop(*input, *input);

  IoThread phone;
  auto clock = std::make_shared<kit::SteadyClock>();
  const kit::PreSharedKey psk = desktop.phoneKey();
  kit::TlsContext context(kit::TransportParameters::client(psk));
  auto channel = kit::MessageChannel::create(
      phone.executor(), kit::TlsConnection::connect(phone.executor(), context, kit::Endpoint::hostPort("127.0.0.1", desktop.port())),
      "phone", clock);
  auto welcome = phone.run(connectPhone(channel, psk.identity, desktop.phone().keyData), 10s, "connecting");
  if (!welcome.fastPort) throw std::runtime_error("the desktop offers no fast channel");
  phone.run(awaitOpeningMessages(channel), 10s, "the opening messages");
  auto keys = phone.run(kit::deriveFastChannelKeys(*channel), 10s, "fast-channel keys");
  if (!keys) throw std::runtime_error("no fast-channel keys");
  kit::FastChannelSender sender(phone.io(), asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), *welcome.fastPort),
                                *keys);

  // Into the middle of the output first, so no move of the run is clamped at an edge.
  Clock::time_point at;
  sender.send({kit::FastEvent::pointerMove(300, 200)});
  bool entered = false;
  for (auto end = Clock::now() + 5s; Clock::now() < end && !entered;) entered = client.pump(100ms, at) > 0;
  if (!entered) throw std::runtime_error("the pointer never reached the client's surface");
  // A warm-up, not counted: in trials the first small move after the pointer
  // arrived never showed as a motion, which would count as a lost sample.
  for (int i = 0; i < 4; ++i) {
    sender.send({kit::FastEvent::pointerMove(i % 2 ? -4.0f : 4.0f, 0)});
    client.pump(200ms, at);
  }
  std::vector<double> us;
  int lost = 0;
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(2ms);  // the path idle between samples
    client.drain();
    auto start = Clock::now();
    sender.send({kit::FastEvent::pointerMove(i % 2 ? -4.0f : 4.0f, 0)});
    std::size_t seen = 0;
    while (seen == 0 && Clock::now() - start < 1s) seen = client.pump(100ms, at);
    if (seen == 0) {
      ++lost;
      continue;
    }
    us.push_back(microsecondsBetween(start, at));
  }
  std::printf("Pointer latency on headless sway: phone -> UDP fast channel -> server -> injector -> virtual pointer\n"
              "-> sway -> wl_pointer.motion at a client of the bench's own, one move at a time, %d samples\n",
              samples);
  std::printf("  p50 %.0f us   p90 %.0f us   p99 %.0f us   max %.0f us   (%d never seen within 1 s)\n", percentile(us, 50),
              percentile(us, 90), percentile(us, 99), percentile(us, 100), lost);
  phone.run(sayBye(channel), 10s, "bye");
  desktop.waitUntilQuiet();
  return 0;
}

}  // namespace
}  // namespace tillerpad::bench

int main(int argc, char** argv) {
  int samples = argc > 1 ? std::atoi(argv[1]) : 200;
  try {
    return tillerpad::bench::run(samples > 0 ? samples : 200);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wlroots pointer bench: %s\n", e.what());
    return 1;
  }
}
