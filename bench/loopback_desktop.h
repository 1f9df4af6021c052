// For the benchmarks: the real desktop on loopback (the shared test
// harness), its fast channel into an injector over the sink the bench passes
// in; the phone end runs on an IoThread of its own.
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
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "kit/pairing/handshake.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "platform/display_query.h"
#include "platform/input_event_sink.h"
#include "tests/support/desktop_harness.h"

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
  asio::io_context io_{1};  // one thread runs it, as in the service
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

// The real desktop (tests/support's harness: the product's AppModel over
// fakes) with TLS on loopback, its service thread of its own, and one paired phone.
class LoopbackDesktop : public test::Desktop {
 public:
  // `events` and `displays` must outlive the desktop.
  LoopbackDesktop(platform::InputEventSink& events, platform::DisplayQuery& displays)
      : Desktop({.tls = true, .realTime = true, .ownThread = true, .events = &events, .displays = &displays}) {
    phone_ = addPhone("Bench");
    startListening();
    if (!runUntil([this] { return lines("Listener starting with 1 key(s)") > 0 && listenerReady(); })) {
      throw std::runtime_error("the server did not start listening with the phone's key");
    }
  }

  const kit::PairedDevice& phone() const { return phone_; }
  host::InputInjector& injector() { return model->input; }
  kit::PreSharedKey phoneKey() const { return test::pskOf(kit::PeerIdentity::device(phone_.id), phone_.keyData); }
  std::size_t logLines(const std::string& prefix) const { return lines(prefix); }

  // No session and no connection still in set-up: the next connection
  // starts from the same state as the first.
  void waitUntilQuiet() {
    if (!runUntil([this] { return !server().session() && server().pendingConnections() == 0; }, 5s)) {
      throw std::runtime_error("the server kept its session");
    }
  }

 private:
  kit::PairedDevice phone_;
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
