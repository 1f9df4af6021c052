#pragma once

// A desktop made of kit pieces for running tillerpad-remote against: a TLS
// listener on loopback running the desktop's halves of handshake and
// pairing, and a fast listener. Every wait is bounded; nothing sleeps.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"

namespace tillerpad::kit::testing {

using namespace std::chrono_literals;
inline constexpr auto bound = 15s;

inline PreSharedKey pskOf(PeerIdentity identity, const SymmetricKey& key) {
  PreSharedKey psk{identity, {}};
  std::copy(key.bytes().begin(), key.bytes().end(), psk.key.begin());
  return psk;
}

// The desktop: accepts phones, records what they send.
class TestDesktop {
 public:
  TestDesktop() {
    acceptor_.open(asio::ip::tcp::v4());
    acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    port = acceptor_.local_endpoint().port();
    fast_ = FastChannelListener::create(io_, [](const auto&) { return true; }, Logger());
    fastPort = fast_->start();
    rebuildContext();
    asio::co_spawn(io_, acceptLoop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }

  ~TestDesktop() {
    asio::post(io_, [this] {
      acceptor_.close();
      fast_->stop();
    });
    work_.reset();
    io_.stop();
    thread_.join();
  }

  std::string startPairing(bool allow) {
    std::lock_guard lock(mutex_);
    payload_ = PairingPayload::make(macID, std::chrono::system_clock::now(), 5min);
    allow_ = allow;
    rebuildContextLocked();
    return payload_->code();
  }

  void forgetPhones() {
    std::lock_guard lock(mutex_);
    devices_.clear();
    rebuildContextLocked();
  }

  DeviceInfo firstPhone() {
    std::lock_guard lock(mutex_);
    return phones.empty() ? DeviceInfo{} : phones.front();
  }

  std::size_t pairedCount() {
    std::lock_guard lock(mutex_);
    return devices_.size();
  }

  // Waits until `done` holds for the record of received things.
  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, done);
  }
  bool received(const Message& message) {
    return waitFor([&] { return std::find(messages.begin(), messages.end(), message) != messages.end(); });
  }

  const Uuid macID = Uuid::random();
  std::uint16_t port = 0;
  std::uint16_t fastPort = 0;
  // Guarded by mutex_.
  std::vector<Message> messages;
  std::vector<FastEvent> fastEvents;
  std::vector<DeviceInfo> phones;

 private:
  void rebuildContext() {
    std::lock_guard lock(mutex_);
    rebuildContextLocked();
  }
  void rebuildContextLocked() {
    std::vector<PreSharedKey> keys;
    if (payload_) keys.push_back(pskOf(PeerIdentity::pairing(payload_->pairingID), KeyDerivation::pairingPSK(*payload_)));
    for (const auto& [id, key] : devices_) keys.push_back(pskOf(PeerIdentity::device(id), key));
    context_ = std::make_shared<TlsContext>(TransportParameters::server(keys));
  }

  std::optional<SymmetricKey> keyFor(const PeerIdentity& identity) {
    std::lock_guard lock(mutex_);
    if (identity.isPairing()) {
      if (payload_ && payload_->pairingID == identity.id()) return KeyDerivation::pairingPSK(*payload_);
      return std::nullopt;
    }
    auto found = devices_.find(identity.id());
    return found == devices_.end() ? std::nullopt : std::optional(found->second);
  }

  void record(const std::function<void()>& change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }

  asio::awaitable<void> acceptLoop() {
    for (;;) {
      auto accepting = acceptor_.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
      auto [error, socket] = co_await std::move(accepting);
      if (error) co_return;
      std::shared_ptr<TlsContext> context;
      {
        std::lock_guard lock(mutex_);
        context = context_;
      }
      auto channel = MessageChannel::create(io_.get_executor(), TlsConnection::accept(std::move(socket), *context),
                                            "test.desktop", clock_);
      asio::co_spawn(io_, serve(channel), asio::detached);
    }
  }

  asio::awaitable<void> serve(std::shared_ptr<MessageChannel> channel) {
    try {
      auto opening = channel->open(10s);
      co_await std::move(opening);
      Welcome welcome{ProtocolVersion::current, macID, "Test Desk", "9.9", fastPort};
      auto accepting = Handshake::accept(channel, welcome, [this](const PeerIdentity& id) { return keyFor(id); });
      Hello hello = co_await std::move(accepting);
      record([&] { phones.push_back(hello.device); });
      if (hello.identity.isPairing()) {
        auto pairing = pair(channel, hello.device);
        co_await std::move(pairing);
      } else {
        auto session = runSession(channel);
        co_await std::move(session);
      }
    } catch (...) {
      // A refused or broken phone ends its connection only.
    }
  }

  asio::awaitable<void> pair(std::shared_ptr<MessageChannel> channel, DeviceInfo device) {
    std::unique_lock lock(mutex_);
    PairingPayload payload = *payload_;
    bool allow = allow_;
    lock.unlock();
    PairingFlow::Approve approve = [allow]() -> asio::awaitable<bool> { co_return allow; };
    PairingFlow::Storage storage{
        [this](PairedDevice d) -> asio::awaitable<void> {
          record([&] { devices_[d.id] = d.keyData; payload_.reset(); rebuildContextLocked(); });
          co_return;
        },
        [this](PairedDevice d) -> asio::awaitable<void> {
          record([&] { devices_.erase(d.id); rebuildContextLocked(); });
          co_return;
        }};
    auto pairing = PairingFlow::accept(channel, payload, device, approve, storage);
    co_await std::move(pairing);
    auto waiting = channel->waitUntilClosed(5s);
    co_await std::move(waiting);
  }

  asio::awaitable<void> runSession(std::shared_ptr<MessageChannel> channel) {
    // Fast-channel keys first, as the desktop's session does: a phone may move
    // as soon as it has the opening messages.
    auto deriving = deriveFastChannelKeys(*channel);
    auto keys = co_await std::move(deriving);
    if (keys) {
      fast_->registerSession(*keys, [this](const std::vector<FastEvent>& events) {
        record([&] { fastEvents.insert(fastEvents.end(), events.begin(), events.end()); });
      });
    }
    auto permissions = channel->send(Message::permissionStatus({true, false}));
    co_await std::move(permissions);
    auto sharing = channel->send(Message::sharingSettings({true, true}));
    co_await std::move(sharing);
    for (;;) {
      auto receiving = channel->receive(10s);
      auto message = co_await std::move(receiving);
      if (!message) break;
      record([&] { messages.push_back(*message); });
      if (auto* ping = message->getIf<MessageType::ping>()) {
        channel->sendWithoutWaiting(Message::pong(*ping));
      }
      if (auto* typed = message->getIf<MessageType::typeText>(); typed && typed->text == "please leave") {
        auto leaving = channel->close(ByeReason::revoked);
        co_await std::move(leaving);
        break;
      }
      if (message->is(MessageType::bye)) break;
    }
    if (keys) fast_->unregisterSession(*keys);
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::shared_ptr<Clock> clock_ = std::make_shared<SteadyClock>();
  asio::ip::tcp::acceptor acceptor_{io_};
  std::shared_ptr<FastChannelListener> fast_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<TlsContext> context_;
  std::optional<PairingPayload> payload_;
  bool allow_ = true;
  std::map<Uuid, SymmetricKey> devices_;
  std::thread thread_;
};

// The remote as a child process with pipes; killed by its own id if it
// outlives the test.
class Remote {
 public:
  Remote(const std::filesystem::path& dataHome, const std::vector<std::string>& arguments,
         const std::map<std::string, std::string>& environment = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
      for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(TILLERPAD_REMOTE_BINARY)};
      for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(TILLERPAD_REMOTE_BINARY, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
  }
  ~Remote() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, output_, errors_}) if (fd >= 0) close(fd);
  }

  void send(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void endInput() {
    close(input_);
    input_ = -1;
  }

  // The next standard output line; throws when none comes in time.
  std::string nextLine() {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        lines.push_back(line);
        return line;
      }
      if (!fill(output_, buffer_, deadline)) throw std::runtime_error("no line; so far: " + buffer_);
    }
  }
  // Reads lines until one starts with `prefix`.
  std::string lineStarting(const std::string& prefix) {
    for (;;) {
      std::string line = nextLine();
      if (line.rfind(prefix, 0) == 0) return line;
    }
  }

  // Waits for the exit status; reads the rest of both outputs.
  int wait() {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (fill(output_, buffer_, deadline)) {
    }
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos; buffer_.erase(0, end + 1)) {
      lines.push_back(buffer_.substr(0, end));
    }
    while (fill(errors_, errorText, deadline)) {
    }
    int status = 0;
    for (;;) {
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (std::chrono::steady_clock::now() > deadline) return -1;
      poll(nullptr, 0, 20);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::vector<std::string> lines;
  std::string errorText;

 private:
  // False at end of stream or when the deadline passed.
  static bool fill(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    into.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string buffer_;
};

}  // namespace tillerpad::kit::testing
