// The real desktop server on loopback for the benchmarks: TLS with
// pre-shared keys, one paired phone, the fast channel into an injector over
// the sink the bench passes in. The server runs on a thread of its own, as it
// would in the service; the phone end runs on another (PhoneThread).
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "host/app/mac_settings.h"
#include "host/input/input_injector.h"
#include "host/input/system_commands.h"
#include "host/service/server.h"
#include "kit/pairing/credential_store.h"
#include "kit/pairing/handshake.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/local_network_policy.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "platform/display_query.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/fake/recording_advertiser.h"
#include "platform/input_event_sink.h"

namespace tillerpad::bench {

using namespace std::chrono_literals;

// Every wait of the benches ends; a wait that runs out ends the run with a message.
template <class T>
T await(std::future<T>& future, std::chrono::milliseconds limit, const char* what) {
  if (future.wait_for(limit) != std::future_status::ready) throw std::runtime_error(std::string("timed out: ") + what);
  return future.get();
}

// An io_context with one thread running it until destruction.
class IoThread {
 public:
  IoThread() : thread_([this] { io_.run(); }) {}
  ~IoThread() { stop(); }
  // Ends the thread; the io_context and what is queued on it stay until destruction.
  void stop() {
    work_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }
  asio::io_context& io() { return io_; }
  asio::any_io_executor executor() { return io_.get_executor(); }

  // Runs `f` on the thread and returns its result.
  template <class F>
  auto call(F f, std::chrono::milliseconds limit = 10s) {
    using R = std::invoke_result_t<F>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    auto future = task->get_future();
    asio::post(io_, [task] { (*task)(); });
    return await(future, limit, "a call on the io thread");
  }

  template <class T>
  T run(asio::awaitable<T> work, std::chrono::milliseconds limit, const char* what) {
    auto future = asio::co_spawn(io_, std::move(work), asio::use_future);
    return await(future, limit, what);
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::thread thread_;
};

// Percentiles by linear interpolation between the closest ranks.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  double rank = p / 100 * static_cast<double>(values.size() - 1);
  auto lower = static_cast<std::size_t>(std::floor(rank));
  auto upper = std::min(lower + 1, values.size() - 1);
  return values[lower] + (values[upper] - values[lower]) * (rank - static_cast<double>(lower));
}

inline double microsecondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

class LoopbackDesktop {
 public:
  // `events` and `displays` must outlive the desktop.
  LoopbackDesktop(platform::InputEventSink& events, platform::DisplayQuery& displays)
      : registry_(io_.executor(), kit::RecordStore<kit::PairedDevice>(std::make_shared<kit::InMemoryCredentialStore>()),
                  logger("registry")),
        injector_(events, displays, displays.doubleClickInterval(), logger("input")),
        commands_(system_, system_, logger("commands")),
        settings_(defaults_) {
    phone_ = kit::PairedDevice{kit::Uuid::random(), "Bench", "Phone", {}, kit::SymmetricKey::random()};
    // Stored through the registry's own keyring thread, as pairing does.
    auto stored = std::make_shared<std::promise<void>>();
    auto storing = stored->get_future();
    io_.call([this, stored] { registry_.add(phone_, [stored](std::exception_ptr) { stored->set_value(); }); });
    if (storing.wait_for(10s) != std::future_status::ready) throw std::runtime_error("the phone was not stored");
    fast_ = kit::FastChannelListener::create(io_.io(), [](const auto&) { return true; }, logger("fast"));
    server_ = io_.call([this] {
      auto server = host::Server::create(host::Server::Dependencies{
          io_.executor(), clock_, [] { return std::chrono::system_clock::now(); }, identity_, registry_, nullptr,
          [] { return kit::PermissionStatus{true, true}; }, injector_, commands_, fast_, settings_, advertiser_,
          host::tlsListenerFactory(io_.executor()),
          [this](const kit::Endpoint& e) { return kit::LocalNetworkPolicy::allows(e, interfaces_); },
          logger("server"), logger("session")});
      server->start();
      return server;
    });
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!port_ && std::chrono::steady_clock::now() < deadline) {
      port_ = io_.call([this]() -> std::uint16_t {
        auto* listening = std::get_if<host::Server::Listening>(&server_->status());
        return listening ? listening->port : 0;
      });
      if (!port_) std::this_thread::sleep_for(1ms);
    }
    if (!port_) throw std::runtime_error("the server did not start listening");
  }

  ~LoopbackDesktop() {
    io_.call([this] {
      server_->disconnect();
      fast_->stop();
    });
    injector_.waitIdle(2s);
    // Members go with the io_context still there but no longer running.
    io_.stop();
  }

  std::uint16_t port() const { return port_; }
  const kit::PairedDevice& phone() const { return phone_; }
  host::InputInjector& injector() { return injector_; }
  std::uint16_t fastPort() { return io_.call([this] { return server_->fastPort().value_or(0); }); }

  kit::PreSharedKey phoneKey() const {
    kit::PreSharedKey psk{kit::PeerIdentity::device(phone_.id), {}};
    auto bytes = phone_.keyData.bytes();
    std::copy_n(bytes.begin(), std::min(bytes.size(), psk.key.size()), psk.key.begin());
    return psk;
  }

  // No session and no connection still in set-up: the next connection
  // starts from the same state as the first.
  bool isQuiet() {
    return io_.call([this] { return server_->session() == nullptr && server_->pendingConnections() == 0; });
  }
  bool hasSession() {
    return io_.call([this] { return server_->session() != nullptr; });
  }
  void waitUntilQuiet(std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!isQuiet()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the server kept its session");
      std::this_thread::sleep_for(200us);
    }
  }

  // Log lines that start with `prefix`.
  std::size_t logLines(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& r : log_->records()) n += r.text.starts_with(prefix) ? 1 : 0;
    return n;
  }

 private:
  kit::Logger logger(std::string category) { return kit::Logger(log_, "app.tillerpad.Tillerpad", std::move(category)); }

  // First: the server's handlers and coroutines go before what they refer to.
  IoThread io_;
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
  std::shared_ptr<kit::Clock> clock_ = std::make_shared<kit::SteadyClock>();
  host::MacIdentity identity_{kit::Uuid::random(), "Bench desk"};
  host::DeviceRegistry registry_;
  kit::PairedDevice phone_;
  host::InputInjector injector_;
  platform::fake::FakeSystemCommands system_;
  host::SystemCommands commands_;
  platform::fake::InMemoryUserDefaults defaults_;
  host::MacSettings settings_;
  platform::fake::RecordingAdvertiser advertiser_;
  kit::SystemInterfaceSource interfaces_;
  std::shared_ptr<kit::FastChannelListener> fast_;
  std::shared_ptr<host::Server> server_;
  std::uint16_t port_ = 0;
};

// The phone's side of a session: TLS, hello/welcome, then the desktop's
// opening messages, the last of which (the sharing flags) follows the
// registration of the fast-channel keys.
inline asio::awaitable<kit::Welcome> connectPhone(std::shared_ptr<kit::MessageChannel> channel, kit::PeerIdentity identity,
                                                  kit::SymmetricKey key) {
  auto opening = channel->open(10s);
  co_await std::move(opening);
  auto handshake = kit::Handshake::connect(channel, identity, key, {"Bench", "Phone", "18", "2"});
  co_return co_await std::move(handshake);
}

inline asio::awaitable<void> awaitOpeningMessages(std::shared_ptr<kit::MessageChannel> channel) {
  for (;;) {
    auto receiving = channel->receive(5s);
    auto message = co_await std::move(receiving);
    if (!message) throw std::runtime_error("the desktop closed the connection");
    if (message->is(kit::MessageType::sharingSettings)) co_return;
  }
}

inline asio::awaitable<void> sayBye(std::shared_ptr<kit::MessageChannel> channel) {
  auto closing = channel->close(kit::ByeReason::userDisconnected);
  co_await std::move(closing);
}

}  // namespace tillerpad::bench
