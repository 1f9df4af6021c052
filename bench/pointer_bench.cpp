// Pointer moves from a phone through the UDP fast channel, the real server
// and the injector into XTest, watched by a second X connection that counts
// the pointer's motion on the root window. Prints
//  - throughput: moves sent, moves written to XTest, motions the X server
//    reported, losses on the way, and arrived moves per second;
//  - latency: one move at a time, from the send until the second connection
//    sees the pointer move, p50 and p99 over 200 samples.
// Moves are relative and accelerated, so each one alternates direction and
// only a change of position is waited for. A plain main() printing tables.
// Needs an X display:
//   tests/platform/linux/with_xvfb.sh build-rel/bench/tillerpad_bench_pointer
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench/loopback_desktop.h"
#include "platform/linux/x11_input.h"

// Last: Xlib's macros clash with the headers above.
#include <X11/Xlib.h>

namespace tillerpad::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Counts the pointer moves the injector hands to XTest; a sender can wait
// for the count instead of spinning on it.
class CountingSink : public platform::InputEventSink {
 public:
  explicit CountingSink(platform::InputEventSink& inner) : inner_(inner) {}
  bool postMouse(const platform::MouseEvent& event) override {
    bool posted = inner_.postMouse(event);
    if (posted && event.type == platform::MouseEventType::moved) {
      {
        std::lock_guard lock(mutex_);
        ++moves_;
      }
      changed_.notify_all();
    }
    return posted;
  }
  bool postScroll(const platform::ScrollEvent& event) override { return inner_.postScroll(event); }
  bool postKey(const platform::KeyEvent& event) override { return inner_.postKey(event); }
  bool postText(const platform::TextEvent& event) override { return inner_.postText(event); }
  std::optional<platform::Point> cursorLocation() override { return inner_.cursorLocation(); }

  std::uint64_t moves() {
    std::lock_guard lock(mutex_);
    return moves_;
  }
  // The count once it reaches `target`, or whatever it is after `limit`.
  std::uint64_t waitForMoves(std::uint64_t target, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return moves_ >= target; });
    return moves_;
  }

 private:
  platform::InputEventSink& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t moves_ = 0;
};

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// A second X client: MotionNotify on the root window, one per change of the
// pointer's position. pump() is called from one thread at a time.
class MotionObserver {
 public:
  MotionObserver() : display_(XOpenDisplay(nullptr)) {
    if (!display_) throw std::runtime_error("cannot open the X display");
    root_ = DefaultRootWindow(display_.get());
    XSelectInput(display_.get(), root_, PointerMotionMask);
    XSync(display_.get(), False);
  }

  // Reads what has arrived, waiting up to `limit` for the first event.
  // Returns the motions read; `at` is when the last of them was read.
  std::size_t pump(std::chrono::milliseconds limit, Clock::time_point& at) {
    Display* d = display_.get();
    if (XEventsQueued(d, QueuedAfterReading) == 0) {
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return 0;
    }
    std::size_t motions = 0;
    while (XEventsQueued(d, QueuedAfterReading) > 0) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == MotionNotify) ++motions;
    }
    if (motions) at = Clock::now();
    return motions;
  }

  // Drops whatever is waiting (the motions of a warp, stragglers).
  void drain() {
    XSync(display_.get(), False);
    Clock::time_point ignored;
    while (pump(0ms, ignored) > 0) {
    }
  }

  // The pointer to `x`, `y` directly, not through the injector.
  void warp(int x, int y) {
    XWarpPointer(display_.get(), None, root_, 0, 0, 0, 0, x, y);
    XSync(display_.get(), False);
  }

 private:
  DisplayPtr display_;
  Window root_ = 0;
};

// Motions counted on a thread of their own while the main thread sends.
class ObserverThread {
 public:
  explicit ObserverThread(MotionObserver& observer) : thread_([this, &observer] {
    while (!stop_.load()) {
      Clock::time_point at;
      if (auto n = observer.pump(5ms, at)) {
        lastArrival_.store(at.time_since_epoch().count());
        motions_.fetch_add(n);
      }
    }
  }) {}
  ~ObserverThread() {
    stop_ = true;
    thread_.join();
  }
  std::uint64_t motions() const { return motions_.load(); }
  Clock::time_point lastArrival() const { return Clock::time_point(Clock::duration(lastArrival_.load())); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> motions_{0};
  std::atomic<Clock::rep> lastArrival_{0};
  std::thread thread_;
};

// The kernel's count of datagrams dropped by the UDP socket on `port` (its
// receive buffer was full), from /proc/net/udp6 or /proc/net/udp.
std::optional<std::uint64_t> socketDrops(std::uint16_t port) {
  char portText[8];
  std::snprintf(portText, sizeof portText, ":%04X", port);
  for (const char* path : {"/proc/net/udp6", "/proc/net/udp"}) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);  // the header
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local, field;
      fields >> slot >> local;
      if (!local.ends_with(portText)) continue;
      while (fields >> field) {
      }
      return std::stoull(field);  // the last column
    }
  }
  return std::nullopt;
}

// System-wide IPv4 UDP send-buffer errors (a sender's datagram that never left).
std::optional<std::uint64_t> udpSendBufferErrors() {
  std::ifstream file("/proc/net/snmp");
  std::string names, values;
  while (std::getline(file, names)) {
    if (!names.starts_with("Udp:") || !std::getline(file, values)) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value) {
      if (name == "SndbufErrors") return std::stoull(value);
    }
  }
  return std::nullopt;
}

struct Bench {
  CountingSink& sink;
  LoopbackDesktop& desktop;
  MotionObserver& observer;
  kit::FastChannelSender& sender;
  std::shared_ptr<kit::MessageChannel> channel;
  std::uint16_t fastPort;
  std::uint64_t pings = 0;

  static constexpr float step = 4;  // points before acceleration: at least 6 pixels after it
  static constexpr int centerX = 640, centerY = 400;

  // From the middle of the screen, with the injector reading the pointer
  // afresh (it trusts its own position for half a second), the session kept
  // alive, and nothing left over from the last phase.
  void settle() {
    channel->sendWithoutWaiting(kit::Message::ping({++pings, 0}));
    desktop.injector().waitIdle(5s);
    observer.warp(centerX, centerY);
    std::this_thread::sleep_for(600ms);
    observer.drain();
  }

  static std::vector<kit::FastEvent> moves(std::size_t count, std::uint64_t serial) {
    std::vector<kit::FastEvent> out;
    for (std::size_t i = 0; i < count; ++i) {
      float dx = (serial + i) % 2 ? -step : step;
      out.push_back(kit::FastEvent::pointerMove(dx, 0));
    }
    return out;
  }

  struct Result {
    std::uint64_t sent = 0, injected = 0, observed = 0;
    double sentPerSecond = 0, arrivedPerSecond = 0;
    std::optional<std::uint64_t> receiveDrops, sendErrors;
    std::size_t queueOverflows = 0;
    bool stalled = false;
  };

  // Sends `total` moves, `perDatagram` in each datagram; with `window`, no
  // more than that many moves are on the way (sent, not yet written to XTest).
  Result measure(std::size_t total, std::size_t perDatagram, std::optional<std::size_t> window) {
    settle();
    Result r;
    auto drops0 = socketDrops(fastPort);
    auto sndbuf0 = udpSendBufferErrors();
    auto overflows0 = desktop.logLines("app.tillerpad.input is full");
    const std::uint64_t injected0 = sink.moves();
    Clock::time_point start, sendEnd, lastArrival;
    {
      ObserverThread watch(observer);
      start = Clock::now();
      while (r.sent < total) {
        if (window && r.sent + perDatagram > *window) {
          // Room for this datagram once enough of the earlier moves are written.
          std::uint64_t needed = injected0 + r.sent + perDatagram - *window;
          if (sink.waitForMoves(needed, 1s) < needed) {
            r.stalled = true;  // a datagram was lost: the window never reopens
            break;
          }
        }
        sender.send(moves(perDatagram, r.sent));
        r.sent += perDatagram;
      }
      sendEnd = Clock::now();
      // Moves still on the way (socket, listener, the injector's queue): done
      // when all have been written or the count stops growing.
      for (std::uint64_t count = sink.moves();;) {
        auto next = sink.waitForMoves(injected0 + r.sent, 300ms);
        if (next >= injected0 + r.sent || next == count) break;
        count = next;
      }
      // The X server's reports follow the injector's last request.
      auto quietSince = Clock::now();
      std::uint64_t seen = watch.motions();
      while (Clock::now() - quietSince < 300ms && seen < sink.moves() - injected0) {
        std::this_thread::sleep_for(5ms);
        if (watch.motions() != seen) {
          seen = watch.motions();
          quietSince = Clock::now();
        }
      }
      r.observed = watch.motions();
      lastArrival = watch.lastArrival();
    }
    r.injected = sink.moves() - injected0;
    auto drops1 = socketDrops(fastPort);
    auto sndbuf1 = udpSendBufferErrors();
    if (drops0 && drops1) r.receiveDrops = *drops1 - *drops0;
    if (sndbuf0 && sndbuf1) r.sendErrors = *sndbuf1 - *sndbuf0;
    r.queueOverflows = desktop.logLines("app.tillerpad.input is full") - overflows0;
    r.sentPerSecond = static_cast<double>(r.sent) / std::chrono::duration<double>(sendEnd - start).count();
    double seconds = std::chrono::duration<double>(lastArrival - start).count();
    r.arrivedPerSecond = r.observed > 0 && seconds > 0 ? static_cast<double>(r.observed) / seconds : 0;
    return r;
  }

  // `repeats` runs; prints the run with the median arrival rate and the range.
  void throughput(const char* name, std::size_t total, std::size_t perDatagram, std::optional<std::size_t> window,
                  int repeats) {
    std::vector<Result> results;
    for (int i = 0; i < repeats; ++i) results.push_back(measure(total, perDatagram, window));
    std::sort(results.begin(), results.end(),
              [](const Result& a, const Result& b) { return a.arrivedPerSecond < b.arrivedPerSecond; });
    const Result& r = results[results.size() / 2];
    auto count = [](std::optional<std::uint64_t> v) {
      return v ? std::to_string(*v) : std::string("?");
    };
    // Moves lost neither to a full receive buffer (whole datagrams) nor written to XTest.
    std::string elsewhere = "?";
    if (r.receiveDrops) {
      elsewhere = std::to_string(static_cast<long long>(r.sent) -
                                 static_cast<long long>(r.injected + *r.receiveDrops * perDatagram));
    }
    std::printf("%-30s %7llu %8llu %7llu %9.0f %10.0f %15s %7s %7s %6s %5zu%s\n", name,
                static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.injected),
                static_cast<unsigned long long>(r.observed), r.sentPerSecond, r.arrivedPerSecond,
                (std::to_string(static_cast<long long>(results.front().arrivedPerSecond)) + "-" +
                 std::to_string(static_cast<long long>(results.back().arrivedPerSecond)))
                    .c_str(),
                count(r.receiveDrops).c_str(), elsewhere.c_str(), count(r.sendErrors).c_str(), r.queueOverflows,
                r.stalled ? "  (stalled: a move was lost, the window never reopened)" : "");
  }

  // One move at a time: from the send until the second connection sees the
  // pointer move.
  void latency(int samples) {
    settle();
    std::vector<double> us;
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
      std::this_thread::sleep_for(2ms);  // let the path go idle between samples
      observer.drain();
      auto start = Clock::now();
      sender.send(moves(1, static_cast<std::uint64_t>(i)));
      Clock::time_point arrived;
      std::size_t seen = 0;
      while (seen == 0 && Clock::now() - start < 1s) seen = observer.pump(100ms, arrived);
      if (seen == 0) {
        ++lost;
        continue;
      }
      us.push_back(microsecondsBetween(start, arrived));
    }
    std::printf("\nLatency, one move at a time: send -> the pointer moves on a second X connection, %d samples\n",
                samples);
    std::printf("  p50 %.0f us   p90 %.0f us   p99 %.0f us   max %.0f us   (%d never seen within 1 s)\n",
                percentile(us, 50), percentile(us, 90), percentile(us, 99), percentile(us, 100), lost);
  }
};

int run() {
  auto x11 = platform::linux_x11::X11Input::open("", kit::Logger());
  if (!x11) throw std::runtime_error("cannot open the X display or it has no XTest");
  CountingSink sink(*x11);
  LoopbackDesktop desktop(sink, *x11);
  MotionObserver observer;

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

  Bench bench{sink, desktop, observer, sender, channel, *welcome.fastPort};
  constexpr std::size_t total = 20000;
  constexpr int repeats = 3;
  std::printf("Pointer moves: phone -> UDP fast channel -> server -> injector -> XTest, seen by a second X client\n");
  std::printf("%zu moves per run, each run from idle with the pointer mid-screen; the median of %d runs by arrived/s\n\n",
              total, repeats);
  std::printf("%-30s %7s %8s %7s %9s %10s %15s %7s %7s %6s %5s\n", "", "sent", "to XTest", "seen", "sent/s",
              "arrived/s", "arrived/s", "rcvbuf", "lost", "sndbuf", "queue");
  std::printf("%-30s %7s %8s %7s %9s %10s %15s %7s %7s %6s %5s\n", "", "", "", "by X", "", "", "range", "drops",
              "else", "errors", "full");
  bench.throughput("burst, 1 move/datagram", total, 1, std::nullopt, repeats);
  bench.throughput("burst, 8 moves/datagram", total, 8, std::nullopt, repeats);
  bench.throughput("window of 16, 1 move/datagram", total, 1, 16, repeats);
  bench.throughput("window of 64, 1 move/datagram", total, 1, 64, repeats);
  std::printf("(arrived/s: motions seen by X over the time from the first send to the last motion seen;\n"
              " rcvbuf drops: datagrams the fast listener's socket dropped; lost else: moves sent but neither\n"
              " dropped there nor written to XTest; sndbuf errors: system-wide IPv4 UDP;\n"
              " queue full: times the injector's queue overflowed)\n");
  bench.latency(200);

  phone.run(sayBye(channel), 10s, "bye");
  desktop.waitUntilQuiet();
  return 0;
}

}  // namespace
}  // namespace tillerpad::bench

int main() {
  if (!std::getenv("DISPLAY")) {
    std::puts("pointer bench: no X display; run it through tests/platform/linux/with_xvfb.sh");
    return 0;
  }
  try {
    return tillerpad::bench::run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pointer bench: %s\n", e.what());
    return 1;
  }
}
