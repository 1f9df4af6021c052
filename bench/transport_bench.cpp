// Loopback TLS throughput of 1 MiB screen frames through two of our channels,
// beside `openssl speed -evp chacha20-poly1305` at 16 KiB blocks on the same
// machine, which bounds what one core can seal. Prints figures; never fails
// on time.
#include <benchmark/benchmark.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <regex>
#include <algorithm>
#include <thread>

#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t frameSize = 1 << 20;
constexpr int framesPerIteration = 16;
double channelBytesPerSecond = 0;
// Bytes per CPU second of the busier end: what the channel carries when each
// end has a core to itself, whatever else runs on the machine. openssl speed
// counts CPU time too.
double channelBytesPerCpuSecond = 0;
double senderCpuSeconds = 0, receiverCpuSeconds = 0;

clockid_t ownCpuClock() {
  clockid_t id{};
  pthread_getcpuclockid(pthread_self(), &id);
  return id;
}

double cpuSeconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Two io_contexts, one thread each: the sending and the receiving end seal
// and open records in parallel, as a phone and a desktop would.
struct LoopbackPair {
  asio::io_context clientIo, serverIo;
  asio::executor_work_guard<asio::io_context::executor_type> clientWork = asio::make_work_guard(clientIo);
  asio::executor_work_guard<asio::io_context::executor_type> serverWork = asio::make_work_guard(serverIo);
  std::thread clientThread, serverThread;
  std::shared_ptr<MessageChannel> sender, receiver;
  clockid_t clientCpu{}, serverCpu{};

  LoopbackPair() {
    PreSharedKey psk{PeerIdentity::device(Uuid::random()), {}};
    psk.key.fill(7);
    auto clock = std::make_shared<SteadyClock>();
    TlsContext serverContext(TransportParameters::server({psk}));
    TlsContext clientContext(TransportParameters::client(psk));
    asio::ip::tcp::acceptor acceptor(serverIo, {asio::ip::make_address("127.0.0.1"), 0});
    auto port = acceptor.local_endpoint().port();
    clientThread = std::thread([this] { clientIo.run(); });
    serverThread = std::thread([this] { serverIo.run(); });

    auto accepted = acceptor.async_accept(asio::use_future);
    sender = MessageChannel::create(clientIo.get_executor(),
                                    TlsConnection::connect(clientIo.get_executor(), clientContext,
                                                           Endpoint::hostPort("127.0.0.1", port)),
                                    "app.tillerpad.channel", clock);
    auto clientOpen = asio::co_spawn(clientIo, sender->open(5s), asio::use_future);
    if (accepted.wait_for(5s) != std::future_status::ready) throw std::runtime_error("no connection");
    receiver = MessageChannel::create(serverIo.get_executor(), TlsConnection::accept(accepted.get(), serverContext),
                                      "app.tillerpad.channel", clock);
    auto serverOpen = asio::co_spawn(serverIo, receiver->open(5s), asio::use_future);
    if (clientOpen.wait_for(5s) != std::future_status::ready || serverOpen.wait_for(5s) != std::future_status::ready) {
      throw std::runtime_error("handshake did not finish");
    }
    clientOpen.get();
    serverOpen.get();
    clientCpu = asio::co_spawn(clientIo, cpuClock(), asio::use_future).get();
    serverCpu = asio::co_spawn(serverIo, cpuClock(), asio::use_future).get();
  }

  static asio::awaitable<clockid_t> cpuClock() { co_return ownCpuClock(); }

  ~LoopbackPair() {
    sender.reset();
    receiver.reset();
    clientWork.reset();
    serverWork.reset();
    clientIo.stop();
    serverIo.stop();
    clientThread.join();
    serverThread.join();
  }
};

asio::awaitable<void> sendFrames(std::shared_ptr<MessageChannel> channel, const Message& frame, int count) {
  for (int i = 0; i < count; ++i) co_await channel->send(frame);
}

asio::awaitable<void> receiveFrames(std::shared_ptr<MessageChannel> channel, int count) {
  for (int i = 0; i < count; ++i) {
    auto message = co_await channel->receive(10s);
    if (!message) throw std::runtime_error("channel ended");
  }
}

void BM_TlsChannelScreenFrames(benchmark::State& state) {
  LoopbackPair pair;
  Bytes jpeg(frameSize);
  for (std::size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  const Message frame = Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 1920, 1080, Blob{std::move(jpeg)}});

  std::size_t bytes = 0;
  double senderStart = cpuSeconds(pair.clientCpu), receiverStart = cpuSeconds(pair.serverCpu);
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto received = asio::co_spawn(pair.serverIo, receiveFrames(pair.receiver, framesPerIteration), asio::use_future);
    auto sent = asio::co_spawn(pair.clientIo, sendFrames(pair.sender, frame, framesPerIteration), asio::use_future);
    if (sent.wait_for(30s) != std::future_status::ready || received.wait_for(30s) != std::future_status::ready) {
      state.SkipWithError("frames did not arrive in time");
      break;
    }
    sent.get();
    received.get();
    bytes += framesPerIteration * frameSize;
  }
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seconds > 0) channelBytesPerSecond = static_cast<double>(bytes) / seconds;
  senderCpuSeconds = cpuSeconds(pair.clientCpu) - senderStart;
  receiverCpuSeconds = cpuSeconds(pair.serverCpu) - receiverStart;
  double busier = std::max(senderCpuSeconds, receiverCpuSeconds);
  if (busier > 0) channelBytesPerCpuSecond = static_cast<double>(bytes) / busier;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_TlsChannelScreenFrames)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// openssl speed's figure in bytes per second, or 0 when it cannot be read.
double opensslChaChaBytesPerSecond() {
  FILE* pipe = popen("timeout 60 openssl speed -evp chacha20-poly1305 -bytes 16384 -seconds 3 2>/dev/null", "r");
  if (!pipe) return 0;
  std::string out;
  char buffer[1024];
  while (auto n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  std::smatch match;
  // "ChaCha20-Poly1305  4205950.89k": thousands of bytes per second.
  if (!std::regex_search(out, match, std::regex(R"(ChaCha20-Poly1305\s+([0-9.]+)k)"))) return 0;
  return std::stod(match[1]) * 1000;
}

}  // namespace
}  // namespace tillerpad::kit

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  using tillerpad::kit::channelBytesPerSecond, tillerpad::kit::channelBytesPerCpuSecond;
  double limit = tillerpad::kit::opensslChaChaBytesPerSecond();
  std::printf("\nchannel, 1 MiB screenFrame messages over loopback TLS: %.1f MB/s\n", channelBytesPerSecond / 1e6);
  std::printf("the same per CPU second of the busier end:              %.1f MB/s (sender %.2f s, receiver %.2f s)\n",
              channelBytesPerCpuSecond / 1e6, tillerpad::kit::senderCpuSeconds, tillerpad::kit::receiverCpuSeconds);
  if (limit > 0) {
    std::printf("openssl speed -evp chacha20-poly1305, 16 KiB blocks:    %.1f MB/s\n", limit / 1e6);
    std::printf("channel / openssl: %.0f%%\n", 100 * channelBytesPerSecond / limit);
    std::printf("channel per CPU second / openssl: %.0f%%\n", 100 * channelBytesPerCpuSecond / limit);
  } else {
    std::printf("openssl speed: no figure (is the openssl tool installed?)\n");
  }
  return 0;
}
