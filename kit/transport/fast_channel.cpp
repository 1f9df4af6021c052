#include "kit/transport/fast_channel.h"

#include <asio/bind_executor.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <sys/socket.h>

#include <string>
#include <system_error>

#include "kit/transport/message_channel.h"

namespace tillerpad::kit {
namespace {

// IPv6 with IPv4 mapped, else IPv4 only. No SO_REUSEADDR: on Linux it would
// let a second process share a fixed port and take half of its datagrams.
template <class Executor>
asio::ip::udp::socket bindSocket(const Executor& executor, std::uint16_t port, std::error_code& ec) {
  asio::ip::udp::socket socket(executor);
  ec.clear();
  socket.open(asio::ip::udp::v6(), ec);
  if (!ec) socket.set_option(asio::ip::v6_only(false), ec);
  if (!ec) socket.bind({asio::ip::address_v6::any(), port}, ec);
  if (ec && ec != asio::error::address_in_use) {
    // No IPv6 on this machine: IPv4 only.
    socket = asio::ip::udp::socket(executor);
    socket.open(asio::ip::udp::v4(), ec);
    if (!ec) socket.bind({asio::ip::address_v4::any(), port}, ec);
  }
  return socket;
}

}  // namespace

std::shared_ptr<FastChannelListener> FastChannelListener::create(asio::io_context& io, EndpointFilter acceptsEndpoint,
                                                                 Logger log, std::uint16_t port) {
  return std::shared_ptr<FastChannelListener>(
      new FastChannelListener(io, std::move(acceptsEndpoint), std::move(log), port));
}

FastChannelListener::FastChannelListener(asio::io_context& io, EndpointFilter acceptsEndpoint, Logger log,
                                         std::uint16_t port)
    : strand_(asio::make_strand(io)), acceptsEndpoint_(std::move(acceptsEndpoint)), log_(std::move(log)),
      fixedPort_(port) {}

std::error_code FastChannelListener::probePort(std::uint16_t port) {
  asio::io_context io(1);
  std::error_code ec;
  auto socket = bindSocket(io.get_executor(), port, ec);
  return ec;
}

std::uint16_t FastChannelListener::start() {
  if (std::uint16_t port = port_.load()) return port;
  // Bound here, synchronously, so that the caller (often the strand's own
  // io_context thread) gets the port or the error at once.
  std::error_code ec;
  auto socket = bindSocket(strand_, fixedPort_, ec);
  if (ec) throw std::system_error(ec, "UDP port " + std::to_string(fixedPort_));
  std::uint16_t port = socket.local_endpoint().port();
  port_ = port;
  asio::post(strand_, [self = shared_from_this(), socket = std::move(socket)]() mutable {
    if (self->socket_) return;
    self->socket_.emplace(std::move(socket));
    self->receiveNext();
  });
  return port;
}

void FastChannelListener::stop() {
  port_ = 0;
  asio::post(strand_, [self = shared_from_this()] {
    if (self->socket_) {
      std::error_code ignored;
      self->socket_->close(ignored);
      self->socket_.reset();
    }
    self->flows_.clear();
  });
}

void FastChannelListener::registerSession(const FastChannelKeys& keys, Handler handler) {
  asio::post(strand_, [self = shared_from_this(), keys, handler = std::move(handler)]() mutable {
    self->sessions_[keys.sessionTag] = Session{keys, std::move(handler), std::nullopt};
  });
}

void FastChannelListener::unregisterSession(const FastChannelKeys& keys) {
  asio::post(strand_, [self = shared_from_this(), tag = keys.sessionTag] {
    self->sessions_.erase(tag);
    std::erase_if(self->flows_, [tag](const auto& entry) { return entry.second.boundTag == tag; });
  });
}

std::future<FastChannelListener::Snapshot> FastChannelListener::snapshot() {
  auto promise = std::make_shared<std::promise<Snapshot>>();
  auto result = promise->get_future();
  asio::post(strand_, [self = shared_from_this(), promise] {
    Snapshot s;
    s.flows = self->flows_.size();
    for (const auto& [endpoint, flow] : self->flows_) {
      s.boundFlows += flow.boundTag ? 1 : 0;
      s.refusedFlows += flow.refusedAt ? 1 : 0;
    }
    s.sessions = self->sessions_.size();
    s.listening = self->socket_.has_value();
    promise->set_value(s);
  });
  return result;
}

void FastChannelListener::receiveNext() {
  if (!socket_) return;
  socket_->async_receive_from(
      asio::buffer(buffer_), remote_,
      asio::bind_executor(strand_, [weak = weak_from_this()](std::error_code ec, std::size_t size) {
        auto self = weak.lock();
        if (!self || ec == asio::error::operation_aborted || !self->socket_) return;
        if (!ec) self->handleDatagram(size);
        // A failed receive on a datagram socket (an ICMP error from an earlier
        // send, say) says nothing about the next datagram.
        self->receiveNext();
      }));
}

FastChannelListener::Flow* FastChannelListener::admit(const Endpoint& remote) {
  auto now = std::chrono::steady_clock::now();
  if (auto it = flows_.find(remote); it != flows_.end()) {
    Flow& flow = it->second;
    if (!flow.refusedAt) return &flow;
    if (now - *flow.refusedAt < refusalMemory) return nullptr;
    if (!acceptsEndpoint_(remote)) {
      flow.refusedAt = now;
      return nullptr;
    }
    flow.refusedAt.reset();
    return &flow;
  }
  bool accepted = acceptsEndpoint_(remote);
  if (flows_.size() >= maxFlows) {
    // Refused flows go first, then unbound ones, each the least recently used.
    auto rank = [](const Flow& f) { return f.refusedAt ? 0 : f.boundTag ? 2 : 1; };
    auto victim = flows_.end();
    for (auto it = flows_.begin(); it != flows_.end(); ++it) {
      bool better = victim == flows_.end() || rank(it->second) < rank(victim->second) ||
                    (rank(it->second) == rank(victim->second) && it->second.lastUse < victim->second.lastUse);
      if (better) victim = it;
    }
    flows_.erase(victim);
  }
  Flow& flow = flows_.emplace(remote, Flow{}).first->second;
  if (accepted) return &flow;
  flow.refusedAt = now;
  flow.lastUse = ++useCounter_;
  return nullptr;
}

void FastChannelListener::handleDatagram(std::size_t size) {
  Flow* flow = admit(remote_);
  if (!flow) return;
  flow->lastUse = ++useCounter_;

  ByteView datagram(buffer_.data(), size);
  auto tag = FastPacket::sessionTag(datagram);
  if (!tag) return;
  auto session = sessions_.find(*tag);
  if (session == sessions_.end()) return;

  FastPacket::Opened opened;
  try {
    opened = FastPacket::open(datagram, session->second.keys);
  } catch (const std::exception&) {
    log_.debug("Dropped a fast-channel datagram that failed authentication");
    return;
  }
  // Sequence numbers only grow: a late datagram is older than what we have.
  auto& last = session->second.lastSequence;
  if (last && opened.sequence <= *last) return;
  last = opened.sequence;
  flow->boundTag = *tag;
  if (!opened.events.empty() && session->second.handler) session->second.handler(opened.events);
}

FastChannelSender::FastChannelSender(asio::io_context& io, const asio::ip::udp::endpoint& desktop,
                                     const FastChannelKeys& keys)
    : socket_(io), keys_(keys) {
  socket_.open(desktop.protocol());
  socket_.connect(desktop);
}

void FastChannelSender::send(const std::vector<FastEvent>& events) {
  if (events.empty() || cancelled_) return;
  std::uint64_t sequence = ++sequence_;
  Bytes datagram;
  try {
    datagram = FastPacket::seal(events, sequence, keys_);
  } catch (const std::exception&) {
    return;
  }
  // Straight to the kernel, never blocking: safe from any thread, and a
  // datagram that cannot leave now is simply superseded by the next one.
  (void)::send(socket_.native_handle(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

asio::awaitable<std::optional<FastChannelKeys>> deriveFastChannelKeys(MessageChannel& channel) {
  std::string label = FastChannelKeys::exporterLabel;
  auto exporting = channel.exportKeyingMaterial(label, FastChannelKeys::exporterLength);
  auto exported = co_await std::move(exporting);
  if (!exported) co_return std::nullopt;
  co_return FastChannelKeys::fromExportedBytes(*exported);
}

}  // namespace tillerpad::kit
