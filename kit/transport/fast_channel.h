#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "kit/common/log.h"
#include "kit/transport/fast_packet.h"

namespace tillerpad::kit {

// The desktop's end of the fast channel: one UDP socket on a given port (0:
// one the system chooses at every start), receiving datagrams of every registered session. All state lives on
// its strand ("app.tillerpad.fast-listener"); public operations post to it.
// Every datagram problem drops that datagram and nothing else.
class FastChannelListener : public std::enable_shared_from_this<FastChannelListener> {
 public:
  using Endpoint = asio::ip::udp::endpoint;
  using EndpointFilter = std::function<bool(const Endpoint&)>;
  // Called on the listener's strand once per datagram with its events, in order.
  using Handler = std::function<void(const std::vector<FastEvent>&)>;

  // A remote address and port seen before, admitted or refused. Bounded: a
  // flood of new source ports evicts refused flows first, then unbound ones,
  // so a working phone keeps its flow.
  static constexpr std::size_t maxFlows = 64;
  // A refused source is asked about again only after this long, so a flood
  // from it costs no admission check per datagram.
  static constexpr std::chrono::milliseconds refusalMemory{1000};

  static std::shared_ptr<FastChannelListener> create(asio::io_context& io, EndpointFilter acceptsEndpoint,
                                                     Logger log, std::uint16_t port = 0);

  // Binds `port` the way start() does and closes it again: what start()
  // would fail with now, if anything.
  static std::error_code probePort(std::uint16_t port);

  // Binds to all addresses (IPv6 with IPv4 mapped where the system has IPv6,
  // else IPv4) and starts receiving. Returns the port; throws std::system_error.
  std::uint16_t start();
  void stop();

  // A new registration for a tag replaces the old one and its replay state.
  void registerSession(const FastChannelKeys& keys, Handler handler);
  // Forgets the session and every flow bound to its tag.
  void unregisterSession(const FastChannelKeys& keys);

  struct Snapshot {
    std::size_t flows = 0;
    std::size_t boundFlows = 0;
    std::size_t refusedFlows = 0;
    std::size_t sessions = 0;
    bool listening = false;
  };
  // The state as seen on the strand, for diagnostics and tests.
  std::future<Snapshot> snapshot();

 private:
  struct Session {
    FastChannelKeys keys;
    Handler handler;
    std::optional<std::uint64_t> lastSequence;
  };
  struct Flow {
    std::optional<std::uint32_t> boundTag;
    std::uint64_t lastUse = 0;
    std::optional<std::chrono::steady_clock::time_point> refusedAt;
  };

  FastChannelListener(asio::io_context& io, EndpointFilter acceptsEndpoint, Logger log, std::uint16_t port);
  void receiveNext();
  void handleDatagram(std::size_t size);
  Flow* admit(const Endpoint& remote);

  asio::strand<asio::io_context::executor_type> strand_;
  EndpointFilter acceptsEndpoint_;
  Logger log_;
  std::uint16_t fixedPort_;
  std::optional<asio::ip::udp::socket> socket_;
  std::unordered_map<std::uint32_t, Session> sessions_;
  std::unordered_map<Endpoint, Flow> flows_;
  std::atomic<std::uint16_t> port_{0};
  std::uint64_t useCounter_ = 0;
  Endpoint remote_;
  std::array<std::uint8_t, 512> buffer_{};
};

// The phone's end: a connected UDP socket. send() may be called from any
// thread; sequence numbers start at 1 and only grow.
class FastChannelSender {
 public:
  FastChannelSender(asio::io_context& io, const asio::ip::udp::endpoint& desktop, const FastChannelKeys& keys);

  // Seals up to 32 events and sends them without waiting; an empty batch
  // sends nothing and uses no sequence number. Never reports failure.
  void send(const std::vector<FastEvent>& events);
  void cancel() { cancelled_ = true; }
  std::uint64_t lastSequence() const { return sequence_.load(); }

 private:
  asio::ip::udp::socket socket_;
  FastChannelKeys keys_;
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<bool> cancelled_{false};
};

class MessageChannel;

// The fast-channel keys of a connection, from its TLS exporter; nothing when
// the connection cannot export (no fast channel for it then).
asio::awaitable<std::optional<FastChannelKeys>> deriveFastChannelKeys(MessageChannel& channel);

}  // namespace tillerpad::kit
