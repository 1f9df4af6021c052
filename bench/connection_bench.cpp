// Connection set-up over loopback: TCP + TLS-PSK against a bare TLS listener
// (the server's parameters, nothing after the handshake) beside a full set-up
// against the real server (TCP + TLS + hello/welcome until the phone holds the
// welcome, and on until it holds the session's opening messages, when a phone
// can use the session). The two kinds of run alternate so that both see the same machine
// load. Each run starts on the main thread and is stamped on the phone's
// thread where the awaited step ends; the full set-up runs TLS and the
// hello/welcome in one task, as a phone does, so neither kind pays a hop back
// to the main thread inside its figure. A plain main() that prints a small table; Google Benchmark's
// per-iteration statistics say less about 50 separate connections than a
// median and a p90.
//   build-rel/bench/tillerpad_bench_connection [runs]
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "bench/loopback_desktop.h"
#include "kit/pairing/key_derivation.h"
#include "platform/fake/recording_input.h"

namespace tillerpad::bench {
namespace {

// TLS with the server's parameters and nothing else: each accepted connection
// runs the handshake, then waits for the phone to leave.
class BareTlsListener {
 public:
  explicit BareTlsListener(const kit::PreSharedKey& psk)
      : context_(kit::TransportParameters::server({psk})),
        acceptor_(io_.io(), {asio::ip::make_address("127.0.0.1"), 0}) {
    asio::co_spawn(io_.io(), acceptLoop(), [](std::exception_ptr) {});
  }
  ~BareTlsListener() {
    io_.call([this] { acceptor_.close(); });
    io_.stop();
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::size_t open() const { return open_.load(); }
  std::size_t failed() const { return failed_.load(); }
  // Returns once the listener's thread has done what was queued on it.
  void settle() { io_.call([] { return true; }); }
  // Runs `f` on the listener's thread.
  template <class F>
  auto call(F f) {
    return io_.call(std::move(f));
  }

 private:
  asio::awaitable<void> acceptLoop() {
    for (;;) {
      auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
      auto channel = kit::MessageChannel::create(io_.executor(), kit::TlsConnection::accept(std::move(socket), context_),
                                                 "bare", clock_);
      ++open_;
      asio::co_spawn(io_.io(), serve(channel), [this](std::exception_ptr error) {
        if (error) ++failed_;
        --open_;
      });
    }
  }

  static asio::awaitable<void> serve(std::shared_ptr<kit::MessageChannel> channel) {
    auto opening = channel->open(10s);
    co_await std::move(opening);
    auto waiting = channel->waitUntilClosed(10s);
    co_await std::move(waiting);
  }

  IoThread io_;
  std::shared_ptr<kit::Clock> clock_ = std::make_shared<kit::SteadyClock>();
  kit::TlsContext context_;
  asio::ip::tcp::acceptor acceptor_;
  std::atomic<std::size_t> open_{0};
  std::atomic<std::size_t> failed_{0};
};

// The CPU clock of the calling thread, readable from any thread.
clockid_t ownCpuClock() {
  clockid_t id{};
  if (pthread_getcpuclockid(pthread_self(), &id) != 0) throw std::runtime_error("no thread CPU clock");
  return id;
}

double cpuMicroseconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// CPU time of the phone's and the desktop's (or bare listener's) thread: what
// the code costs, without the waits for a sleeping CPU to wake up.
struct CpuClocks {
  clockid_t phone, peer;
  double read() const { return cpuMicroseconds(phone) + cpuMicroseconds(peer); }
};

using Stamp = std::chrono::steady_clock::time_point;
struct Stamps {
  CpuClocks clocks;
  Stamp tls, welcome, ready;
  double tlsCpu = 0, welcomeCpu = 0, readyCpu = 0;  // both threads' CPU clocks at the same points
};

asio::awaitable<void> openOnly(std::shared_ptr<kit::MessageChannel> channel, std::shared_ptr<Stamps> stamps) {
  auto opening = channel->open(10s);
  co_await std::move(opening);
  stamps->tls = std::chrono::steady_clock::now();
  stamps->tlsCpu = stamps->clocks.read();
}

asio::awaitable<void> openAndGreet(std::shared_ptr<kit::MessageChannel> channel, kit::PreSharedKey psk,
                                   kit::SymmetricKey key, std::shared_ptr<Stamps> stamps) {
  // The hello's channel binding is taken as the channel opens, as a phone
  // does; this phone never uses the fast channel, so its keys are not.
  std::vector<kit::KeyingMaterialRequest> binding{{kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength}};
  auto opening = channel->open(10s, std::move(binding));
  co_await std::move(opening);
  stamps->tls = std::chrono::steady_clock::now();
  stamps->tlsCpu = stamps->clocks.read();
  auto handshake = kit::Handshake::connect(channel, psk.identity, key, {"Bench", "Phone", "18", "2"});
  co_await std::move(handshake);
  stamps->welcome = std::chrono::steady_clock::now();
  stamps->welcomeCpu = stamps->clocks.read();
  // The session is usable once the opening messages are in (the sharing
  // flags come last).
  auto openingMessages = awaitOpeningMessages(channel);
  co_await std::move(openingMessages);
  stamps->ready = std::chrono::steady_clock::now();
  stamps->readyCpu = stamps->clocks.read();
}

struct Samples {
  std::vector<double> tlsAlone, serverTls, serverWelcome, serverReady;
  std::vector<double> tlsAloneCpu, serverTlsCpu, serverWelcomeCpu, serverReadyCpu;
};

void waitUntil(const std::function<bool()>& done, const char* what) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error(std::string("timed out: ") + what);
    std::this_thread::sleep_for(200us);
  }
}

int run(int runs) {
  platform::fake::RecordingInput input;  // no events reach it: nothing is moved here
  input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}});
  LoopbackDesktop desktop(input, input);
  const kit::PreSharedKey psk = desktop.phoneKey();
  BareTlsListener bare(psk);
  IoThread phone;
  auto clock = std::make_shared<kit::SteadyClock>();
  // One client context for every run, as a phone keeps its configuration.
  kit::TlsContext clientContext(kit::TransportParameters::client(psk));
  const clockid_t phoneCpu = phone.call(ownCpuClock);
  const CpuClocks bareClocks{phoneCpu, bare.call(ownCpuClock)};
  const CpuClocks desktopClocks{phoneCpu, desktop.call(ownCpuClock)};
  auto newChannel = [&](std::uint16_t port) {
    return kit::MessageChannel::create(
        phone.executor(),
        kit::TlsConnection::connect(phone.executor(), clientContext, kit::Endpoint::hostPort("127.0.0.1", port)),
        "phone", clock);
  };

  auto tlsAlone = [&](double& cpuUs) {
    auto stamps = std::make_shared<Stamps>();
    stamps->clocks = bareClocks;
    double cpuStart = bareClocks.read();
    auto start = std::chrono::steady_clock::now();
    auto channel = newChannel(bare.port());
    phone.run(openOnly(channel, stamps), 10s, "TLS handshake");
    double us = microsecondsBetween(start, stamps->tls);
    cpuUs = stamps->tlsCpu - cpuStart;
    channel->cancel();
    channel.reset();
    waitUntil([&] { return bare.open() == 0; }, "the bare listener's connection to end");
    // Both ends have torn the connection down before the next run starts,
    // so no thread of the last run competes with the next for a core.
    bare.settle();
    phone.call([] { return true; });
    return us;
  };

  // Full set-up; the TLS part is timed on the way.
  auto fullSetUp = [&](double& tlsUs, double& tlsCpuUs, double& cpuUs, double& readyUs, double& readyCpuUs) {
    auto stamps = std::make_shared<Stamps>();
    stamps->clocks = desktopClocks;
    const auto port = desktop.port();
    double cpuStart = desktopClocks.read();
    auto start = std::chrono::steady_clock::now();
    auto channel = newChannel(port);
    phone.run(openAndGreet(channel, psk, desktop.phone().keyData, stamps), 10s, "TLS and hello/welcome with the server");
    tlsUs = microsecondsBetween(start, stamps->tls);
    double us = microsecondsBetween(start, stamps->welcome);
    tlsCpuUs = stamps->tlsCpu - cpuStart;
    cpuUs = stamps->welcomeCpu - cpuStart;
    readyUs = microsecondsBetween(start, stamps->ready);
    readyCpuUs = stamps->readyCpu - cpuStart;
    // A clean end: bye, then the server back to no session and nothing in set-up.
    phone.run(sayBye(channel), 10s, "bye");
    channel.reset();
    desktop.waitUntilQuiet();
    phone.call([] { return true; });
    return us;
  };

  constexpr int warmUp = 3;
  Samples samples;
  for (int i = 0; i < warmUp + runs; ++i) {
    double tlsCpu = 0, serverTls = 0, serverTlsCpu = 0, welcomeCpu = 0, ready = 0, readyCpu = 0;
    double tls = tlsAlone(tlsCpu);
    double welcome = fullSetUp(serverTls, serverTlsCpu, welcomeCpu, ready, readyCpu);
    if (i < warmUp) continue;
    samples.tlsAlone.push_back(tls);
    samples.serverTls.push_back(serverTls);
    samples.serverWelcome.push_back(welcome);
    samples.serverReady.push_back(ready);
    samples.serverReadyCpu.push_back(readyCpu);
    samples.tlsAloneCpu.push_back(tlsCpu);
    samples.serverTlsCpu.push_back(serverTlsCpu);
    samples.serverWelcomeCpu.push_back(welcomeCpu);
  }

  std::printf("Connection set-up over loopback, %d runs of each (alternating, after %d warm-up runs), microseconds\n\n",
              runs, warmUp);
  std::printf("%-46s %10s %10s\n", "", "median", "p90");
  auto row = [](const char* name, const std::vector<double>& v) {
    std::printf("%-46s %10.0f %10.0f\n", name, percentile(v, 50), percentile(v, 90));
  };
  row("TLS alone: TCP + TLS-PSK, bare listener", samples.tlsAlone);
  row("server: TCP + TLS", samples.serverTls);
  row("server: TCP + TLS + hello/welcome", samples.serverWelcome);
  row("server: ... + the session's opening messages", samples.serverReady);
  std::printf("\nfull set-up / TLS alone, wall clock (medians): %.2f\n",
              percentile(samples.serverWelcome, 50) / percentile(samples.tlsAlone, 50));
  std::printf("hello/welcome share of the full set-up (medians): %.0f us\n",
              percentile(samples.serverWelcome, 50) - percentile(samples.serverTls, 50));

  std::printf("\nCPU time of both ends' threads over the same spans, microseconds\n\n");
  std::printf("%-46s %10s %10s\n", "", "median", "p90");
  row("TLS alone: TCP + TLS-PSK, bare listener", samples.tlsAloneCpu);
  row("server: TCP + TLS", samples.serverTlsCpu);
  row("server: TCP + TLS + hello/welcome", samples.serverWelcomeCpu);
  row("server: ... + the session's opening messages", samples.serverReadyCpu);
  // The figure the set-up is judged by: the wall clock of these short
  // exchanges is mostly the wake-ups of idle CPUs, which the code does not decide.
  std::printf("\nfull set-up / TLS alone, CPU time (medians): %.2f\n",
              percentile(samples.serverWelcomeCpu, 50) / percentile(samples.tlsAloneCpu, 50));
  std::printf("session ready / TLS alone, CPU time (medians): %.2f\n",
              percentile(samples.serverReadyCpu, 50) / percentile(samples.tlsAloneCpu, 50));
  const auto total = static_cast<std::size_t>(warmUp + runs);
  std::printf("\nserver: %zu/%zu sessions started, %zu ended; %zu rejected, %zu closed for the set-up limits; "
              "listener started %zu time(s)\n",
              desktop.logLines("Session started with"), total, desktop.logLines("Session ended with"),
              desktop.logLines("Connection rejected"), desktop.logLines("Too many connections in set-up"),
              desktop.logLines("Listener starting with"));
  std::printf("bare listener: %zu handshake(s) failed\n", bare.failed());
  return 0;
}

}  // namespace
}  // namespace tillerpad::bench

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 50;
  if (runs < 1) {
    std::fprintf(stderr, "usage: %s [runs]\n", argv[0]);
    return 2;
  }
  try {
    return tillerpad::bench::run(runs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "connection bench: %s\n", e.what());
    return 1;
  }
}
