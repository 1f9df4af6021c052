#include "host/service/connection_listener.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <string>
#include <system_error>

#include "kit/transport/channel_error.h"
#include "kit/transport/tls_connection.h"

namespace tillerpad::host {
namespace {

// Dual-stack IPv6 where the system has it, else IPv4. Also the start-up
// check of a fixed port, so that the check binds exactly as the listener will.
asio::ip::tcp::acceptor openAcceptor(const asio::any_io_executor& executor, std::uint16_t port, std::error_code& ec) {
  using asio::ip::tcp;
  tcp::acceptor acceptor(executor);
  ec.clear();
  acceptor.open(tcp::v6(), ec);
  if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
  // A chosen port is bound again at every restart, while the connections
  // of the previous listener may still linger in TIME_WAIT.
  if (!ec && port != 0) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(tcp::endpoint(tcp::v6(), port), ec);
  if (ec && ec != asio::error::address_in_use) {
    // No IPv6 here: IPv4 only.
    acceptor = tcp::acceptor(executor);
    acceptor.open(tcp::v4(), ec);
    if (!ec && port != 0) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(tcp::endpoint(tcp::v4(), port), ec);
  }
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  return acceptor;
}

asio::ip::tcp::acceptor openAcceptor(const asio::any_io_executor& executor, std::uint16_t port) {
  std::error_code ec;
  auto acceptor = openAcceptor(executor, port, ec);
  if (ec) throw std::system_error(ec, "port " + std::to_string(port));
  return acceptor;
}

class TlsListener final : public ConnectionListener {
 public:
  TlsListener(const asio::any_io_executor& executor, kit::TransportParameters parameters, std::uint16_t port)
      : state_(std::make_shared<Shared>(openAcceptor(executor, port), std::move(parameters))) {}

  ~TlsListener() override { cancel(); }

  void start(Handlers handlers) override {
    state_->handlers = std::move(handlers);
    std::uint16_t port = state_->acceptor.local_endpoint().port();
    asio::post(state_->acceptor.get_executor(), [s = state_, port] {
      if (!s->isCancelled) s->handlers.onState(State::ready, port, {});
    });
    acceptNext(state_);
  }

  void cancel() override {
    if (state_->isCancelled) return;
    state_->isCancelled = true;
    std::error_code ignored;
    state_->acceptor.close(ignored);
    asio::post(state_->acceptor.get_executor(), [s = state_] {
      if (s->handlers.onState) s->handlers.onState(State::cancelled, 0, {});
    });
  }

 private:
  struct Shared {
    Shared(asio::ip::tcp::acceptor a, kit::TransportParameters parameters)
        : acceptor(std::move(a)), context(std::move(parameters)) {}
    asio::ip::tcp::acceptor acceptor;
    kit::TlsContext context;
    Handlers handlers;
    bool isCancelled = false;
    bool hasFailed = false;
  };

  static void acceptNext(const std::shared_ptr<Shared>& s) {
    s->acceptor.async_accept([s](std::error_code ec, asio::ip::tcp::socket socket) {
      if (s->isCancelled || s->hasFailed) return;
      if (ec == asio::error::connection_aborted) {
        acceptNext(s);  // the peer gave up before we took it
        return;
      }
      if (ec) {
        s->hasFailed = true;
        s->handlers.onState(State::failed, 0, ec.message());
        return;
      }
      s->handlers.onConnection(kit::TlsConnection::accept(std::move(socket), s->context));
      acceptNext(s);
    });
  }

  std::shared_ptr<Shared> state_;
};

class BudgetedConnection final : public kit::Connection {
 public:
  struct Budget final : ReadBudget {
    explicit Budget(std::size_t limit) : remaining(limit) {}
    void release() override { isReleased = true; }
    std::atomic<bool> isReleased{false};
    std::size_t remaining;  // touched only in read callbacks (the channel's strand)
  };

  BudgetedConnection(std::unique_ptr<kit::Connection> inner, std::shared_ptr<Budget> budget)
      : inner_(std::move(inner)), budget_(std::move(budget)) {}

  void setStateHandler(StateHandler handler) override { inner_->setStateHandler(std::move(handler)); }
  void start(asio::any_io_executor executor) override {
    executor_ = executor;
    inner_->start(std::move(executor));
  }
  void receive(std::size_t minimum, std::size_t maximum, ReadHandler handler) override {
    receiveInto(minimum, maximum, std::move(handler), nullptr);
  }
  void receiveInto(std::size_t minimum, std::size_t maximum, ReadHandler handler, ReadRoom room) override {
    if (!budget_->isReleased) {
      if (budget_->remaining == 0) {
        asio::post(executor_, [handler = std::move(handler)] {
          handler({}, false, std::make_exception_ptr(kit::ConnectionError(
                                 std::make_error_code(std::errc::message_size), "Too much data before authentication")));
        });
        return;
      }
      maximum = std::max<std::size_t>(1, std::min(maximum, budget_->remaining));
      minimum = std::min(minimum, maximum);
    }
    auto counted = [budget = budget_, handler = std::move(handler)](kit::ByteView bytes, bool end, std::exception_ptr error) {
      if (!budget->isReleased) budget->remaining -= std::min(budget->remaining, bytes.size());
      handler(bytes, end, std::move(error));
    };
    if (room) {
      inner_->receiveInto(minimum, maximum, std::move(counted), std::move(room));
    } else {
      inner_->receive(minimum, maximum, std::move(counted));
    }
  }
  void send(kit::Bytes bytes, WriteHandler handler) override { inner_->send(std::move(bytes), std::move(handler)); }
  void sendPieces(kit::BytePieces pieces, WriteHandler handler) override {
    inner_->sendPieces(std::move(pieces), std::move(handler));
  }
  void cancel() override { inner_->cancel(); }
  kit::Endpoint remoteEndpoint() const override { return inner_->remoteEndpoint(); }
  std::optional<kit::Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) override {
    return inner_->exportKeyingMaterial(label, length);
  }
  std::optional<std::uint16_t> negotiatedCipherSuite() override { return inner_->negotiatedCipherSuite(); }

 private:
  std::unique_ptr<kit::Connection> inner_;
  std::shared_ptr<Budget> budget_;
  asio::any_io_executor executor_;
};

}  // namespace

std::error_code probeTcpPort(std::uint16_t port) {
  asio::io_context io(1);
  std::error_code ec;
  auto acceptor = openAcceptor(io.get_executor(), port, ec);
  return ec;
}

ListenerFactory tlsListenerFactory(asio::any_io_executor executor, std::uint16_t port) {
  return [executor, port](kit::TransportParameters parameters) -> std::unique_ptr<ConnectionListener> {
    return std::make_unique<TlsListener>(executor, std::move(parameters), port);
  };
}

std::pair<std::unique_ptr<kit::Connection>, std::shared_ptr<ReadBudget>> withReadBudget(
    std::unique_ptr<kit::Connection> connection, std::size_t budget) {
  auto shared = std::make_shared<BudgetedConnection::Budget>(budget);
  return {std::make_unique<BudgetedConnection>(std::move(connection), shared), shared};
}

}  // namespace tillerpad::host
