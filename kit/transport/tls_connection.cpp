#include "kit/transport/tls_connection.h"

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

#include "kit/transport/channel_error.h"

namespace tillerpad::kit {

namespace {

// A TLS close waits this long for the peer's close_notify, then drops the socket.
constexpr auto shutdownLimit = std::chrono::seconds(1);

ConnectionError toConnectionError(const std::error_code& error, const std::string& during) {
  std::optional<std::uint8_t> alert;
  if (error.category() == asio::error::get_ssl_category()) {
    auto packed = static_cast<unsigned long>(static_cast<unsigned int>(error.value()));
    int reason = ERR_GET_REASON(packed);
    // OpenSSL reports a received alert as the reason SSL_AD_REASON_OFFSET + alert.
    if (ERR_GET_LIB(packed) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
      alert = static_cast<std::uint8_t>(reason - SSL_AD_REASON_OFFSET);
    }
  }
  return ConnectionError(error, during + ": " + error.message(), alert);
}

std::exception_ptr errorPointer(const std::error_code& error, const std::string& during) {
  return std::make_exception_ptr(toConnectionError(error, during));
}

std::exception_ptr abortedError() {
  return std::make_exception_ptr(
      ConnectionError(std::make_error_code(std::errc::operation_canceled), "The connection was cancelled"));
}

}  // namespace

// MARK: context

struct TlsContext::Impl {
  explicit Impl(TransportParameters p)
      : parameters(std::move(p)),
        ssl(parameters.role == TransportParameters::Role::server ? asio::ssl::context::tls_server
                                                                  : asio::ssl::context::tls_client) {
    for (const auto& psk : parameters.tlsOptions.psks) keys.emplace(psk.identity.text(), psk.key);
    SSL_CTX* ctx = ssl.native_handle();
    auto fail = [](const char* what) { throw std::runtime_error(std::string("TLS configuration failed: ") + what); };
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) fail("minimum version");
    if (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) fail("maximum version");
    if (SSL_CTX_set_cipher_list(ctx, TransportParameters::cipherName) != 1) fail("cipher list");
    if (SSL_CTX_set_ciphersuites(ctx, "") != 1) fail("TLS 1.3 suites");
    // A resumed session would skip the key lookup, so a revoked key could
    // live on in a saved session: no tickets, no cache, on either side.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_set_ex_data(ctx, exDataIndex(), this) != 1) fail("key map");
    if (parameters.role == TransportParameters::Role::server) {
      SSL_CTX_set_psk_server_callback(ctx, &Impl::serverKey);
    } else {
      SSL_CTX_set_psk_client_callback(ctx, &Impl::clientKey);
    }
  }

  ~Impl() {
    for (auto& [identity, key] : keys) OPENSSL_cleanse(key.data(), key.size());
  }

  // asio keeps its own verify callback in the context's app data, so the key
  // map goes into an ex_data slot of its own.
  static int exDataIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
  }
  static Impl* from(SSL* ssl) { return static_cast<Impl*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), exDataIndex())); }

  // Answers from the map and never blocks; 0 makes OpenSSL fail the
  // handshake with the alert unknown_psk_identity.
  static unsigned int serverKey(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLength) {
    auto* self = from(ssl);
    if (!self || !identity) return 0;
    auto found = self->keys.find(std::string(identity, strnlen(identity, 256)));
    if (found == self->keys.end() || maxLength < found->second.size()) return 0;
    std::memcpy(psk, found->second.data(), found->second.size());
    return static_cast<unsigned int>(found->second.size());
  }

  static unsigned int clientKey(SSL* ssl, const char* /*hint*/, char* identity, unsigned int maxIdentityLength,
                                unsigned char* psk, unsigned int maxLength) {
    auto* self = from(ssl);
    if (!self || self->parameters.tlsOptions.psks.empty()) return 0;
    const auto& offered = self->parameters.tlsOptions.psks.front();
    auto text = offered.identity.text();
    if (text.size() + 1 > maxIdentityLength || maxLength < offered.key.size()) return 0;
    std::memcpy(identity, text.c_str(), text.size() + 1);
    std::memcpy(psk, offered.key.data(), offered.key.size());
    return static_cast<unsigned int>(offered.key.size());
  }

  TransportParameters parameters;
  std::map<std::string, PreSharedKey::Key> keys;
  asio::ssl::context ssl;
};

TlsContext::TlsContext(TransportParameters parameters) : impl_(std::make_shared<Impl>(std::move(parameters))) {}

const TransportParameters& TlsContext::parameters() const { return impl_->parameters; }

// MARK: connection

namespace {

class TlsStream : public std::enable_shared_from_this<TlsStream> {
 public:
  TlsStream(std::shared_ptr<TlsContext::Impl> context, asio::ip::tcp::socket socket, Endpoint remote,
            std::optional<asio::ip::tcp::endpoint> target)
      : context_(std::move(context)),
        stream_(std::move(socket), context_->ssl),
        timer_(stream_.get_executor()),
        remote_(std::move(remote)),
        target_(target) {}

  void setStateHandler(Connection::StateHandler handler) { stateHandler_ = std::move(handler); }

  void start(asio::any_io_executor strand) {
    if (started_) return;
    strand_ = std::move(strand);
    started_ = true;
    report(Connection::State::preparing, nullptr);
    if (cancelled_) return;
    if (target_) {
      connect();
    } else {
      handshake(asio::ssl::stream_base::server);
    }
  }

  void receive(std::size_t /*minimum*/, std::size_t maximum, Connection::ReadHandler handler) {
    if (cancelled_) return;
    if (readBuffer_.size() < maximum) readBuffer_.resize(maximum);
    readHandler_ = std::move(handler);
    readPending_ = true;
    stream_.async_read_some(
        asio::buffer(readBuffer_.data(), maximum),
        asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error, std::size_t count) {
          self->readPending_ = false;
          auto deliver = std::exchange(self->readHandler_, nullptr);
          if (self->cancelled_) return self->maybeShutdown();
          if (!error) return deliver(ByteView(self->readBuffer_.data(), count), false, nullptr);
          // close_notify, or the peer's TCP end without one: the stream ended.
          if (error == asio::error::eof || error == asio::ssl::error::stream_truncated) {
            return deliver({}, true, nullptr);
          }
          deliver({}, false, errorPointer(error, "TLS read failed"));
        }));
  }

  void send(Bytes bytes, Connection::WriteHandler handler) {
    if (cancelled_) {
      if (handler && started_) asio::post(strand_, [handler] { handler(abortedError()); });
      return;
    }
    writes_.push_back(Write{std::move(bytes), std::move(handler)});
    if (ready_ && !writing_) writeNext();
  }

  void cancel() {
    if (cancelled_) return;
    cancelled_ = true;
    if (!started_) return;
    report(Connection::State::cancelled, nullptr);
    // Writes not yet on the wire are abandoned.
    auto firstQueued = writing_ ? std::next(writes_.begin()) : writes_.begin();
    for (auto it = firstQueued; it != writes_.end(); ++it) {
      if (it->handler) asio::post(strand_, [handler = it->handler] { handler(abortedError()); });
    }
    writes_.erase(firstQueued, writes_.end());
    timer_.cancel();
    std::error_code ignored;
    if (!ready_) {
      stream_.lowest_layer().close(ignored);
      return;
    }
    stream_.lowest_layer().cancel(ignored);
    maybeShutdown();
  }

  Endpoint remote() const { return remote_; }

  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) {
    if (!ready_ || cancelled_) return std::nullopt;
    Bytes out(length);
    std::string labelText(label);
    int ok = SSL_export_keying_material(stream_.native_handle(), out.data(), out.size(), labelText.c_str(),
                                        labelText.size(), nullptr, 0, 0);
    if (ok != 1) return std::nullopt;
    return out;
  }

  std::optional<std::uint16_t> negotiatedCipherSuite() {
    if (!ready_) return std::nullopt;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(stream_.native_handle());
    if (!cipher) return std::nullopt;
    return static_cast<std::uint16_t>(SSL_CIPHER_get_protocol_id(cipher) & 0xFFFF);
  }

 private:
  struct Write {
    Bytes bytes;
    Connection::WriteHandler handler;
  };

  void report(Connection::State state, std::exception_ptr error) {
    if (!stateHandler_) return;
    asio::post(strand_, [handler = stateHandler_, state, error] { handler(state, error); });
  }

  void fail(std::exception_ptr error) {
    if (cancelled_ || failed_) return;
    failed_ = true;
    report(Connection::State::failed, std::move(error));
    std::error_code ignored;
    stream_.lowest_layer().close(ignored);
  }

  void connect() {
    const auto& tcp = context_->parameters.tcpOptions;
    timer_.expires_after(tcp.connectTimeout);
    timer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
      if (error || self->connected_ || self->cancelled_) return;
      self->connectTimedOut_ = true;
      std::error_code ignored;
      self->stream_.lowest_layer().close(ignored);
    }));
    stream_.lowest_layer().async_connect(
        *target_, asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
          self->connected_ = true;
          self->timer_.cancel();
          if (self->cancelled_) return;
          if (self->connectTimedOut_) {
            return self->fail(std::make_exception_ptr(
                ConnectionError(std::make_error_code(std::errc::timed_out), "TCP connect timed out")));
          }
          if (error) return self->fail(errorPointer(error, "TCP connect failed"));
          self->handshake(asio::ssl::stream_base::client);
        }));
  }

  void handshake(asio::ssl::stream_base::handshake_type type) {
    if (auto error = applyTcpOptions(stream_.lowest_layer().native_handle(), context_->parameters.tcpOptions)) {
      return fail(errorPointer(error, "TCP options could not be set"));
    }
    stream_.async_handshake(type, asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
      if (self->cancelled_) return;
      if (error) return self->fail(errorPointer(error, "TLS handshake failed"));
      self->ready_ = true;
      self->report(Connection::State::ready, nullptr);
      if (!self->writes_.empty()) self->writeNext();
    }));
  }

  void writeNext() {
    writing_ = true;
    auto& front = writes_.front();
    asio::async_write(stream_, asio::buffer(front.bytes),
                      asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error, std::size_t) {
                        self->writing_ = false;
                        auto write = std::move(self->writes_.front());
                        self->writes_.pop_front();
                        auto failure = error ? errorPointer(error, "TLS write failed") : nullptr;
                        if (write.handler) write.handler(failure);
                        if (self->cancelled_) return self->maybeShutdown();
                        if (failure) {
                          for (auto& queued : self->writes_) {
                            if (queued.handler) queued.handler(failure);
                          }
                          self->writes_.clear();
                          return;
                        }
                        if (!self->writes_.empty()) self->writeNext();
                      }));
  }

  // Sends close_notify once no read or write is in flight, and gives the peer
  // a bounded time to answer; a silent peer cannot hold the socket open.
  void maybeShutdown() {
    if (!cancelled_ || !ready_ || readPending_ || writing_ || shutdownStarted_) return;
    shutdownStarted_ = true;
    timer_.expires_after(shutdownLimit);
    timer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
      if (error) return;
      std::error_code ignored;
      self->stream_.lowest_layer().close(ignored);
    }));
    stream_.async_shutdown(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code&) {
      self->timer_.cancel();
      std::error_code ignored;
      self->stream_.lowest_layer().close(ignored);
    }));
  }

  std::shared_ptr<TlsContext::Impl> context_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  asio::steady_timer timer_;
  Endpoint remote_;
  std::optional<asio::ip::tcp::endpoint> target_;
  asio::any_io_executor strand_;
  Connection::StateHandler stateHandler_;
  Connection::ReadHandler readHandler_;
  Bytes readBuffer_;
  std::deque<Write> writes_;
  bool started_ = false;
  bool connected_ = false;
  bool connectTimedOut_ = false;
  bool ready_ = false;
  bool failed_ = false;
  bool cancelled_ = false;
  bool readPending_ = false;
  bool writing_ = false;
  bool shutdownStarted_ = false;
};

class TlsConnectionImpl final : public Connection {
 public:
  explicit TlsConnectionImpl(std::shared_ptr<TlsStream> stream) : stream_(std::move(stream)) {}

  void setStateHandler(StateHandler handler) override { stream_->setStateHandler(std::move(handler)); }
  void start(asio::any_io_executor executor) override { stream_->start(std::move(executor)); }
  void receive(std::size_t minimum, std::size_t maximum, ReadHandler handler) override {
    stream_->receive(minimum, maximum, std::move(handler));
  }
  void send(Bytes bytes, WriteHandler handler) override { stream_->send(std::move(bytes), std::move(handler)); }
  void cancel() override { stream_->cancel(); }
  Endpoint remoteEndpoint() const override { return stream_->remote(); }
  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) override {
    return stream_->exportKeyingMaterial(label, length);
  }
  std::optional<std::uint16_t> negotiatedCipherSuite() override { return stream_->negotiatedCipherSuite(); }

 private:
  std::shared_ptr<TlsStream> stream_;
};

Endpoint endpointOf(const asio::ip::tcp::endpoint& endpoint) {
  return Endpoint::hostPort(endpoint.address().to_string(), endpoint.port());
}

}  // namespace

std::unique_ptr<Connection> TlsConnection::connect(asio::any_io_executor executor, const TlsContext& context,
                                                   Endpoint remote) {
  std::optional<asio::ip::tcp::endpoint> target;
  if (remote.isHostPort()) {
    std::error_code error;
    auto address = asio::ip::make_address(remote.host, error);
    if (!error) target = asio::ip::tcp::endpoint(address, remote.port);
  }
  if (!target) throw std::invalid_argument("A TLS connection needs an address and a port: " + remote.text());
  asio::ip::tcp::socket socket(executor);
  return std::make_unique<TlsConnectionImpl>(
      std::make_shared<TlsStream>(context.impl(), std::move(socket), std::move(remote), target));
}

std::unique_ptr<Connection> TlsConnection::accept(asio::ip::tcp::socket socket, const TlsContext& context) {
  std::error_code error;
  auto peer = socket.remote_endpoint(error);
  Endpoint remote = error ? Endpoint::other("unknown peer") : endpointOf(peer);
  return std::make_unique<TlsConnectionImpl>(
      std::make_shared<TlsStream>(context.impl(), std::move(socket), std::move(remote), std::nullopt));
}

std::error_code applyTcpOptions(int fd, const TcpOptions& options) {
  auto set = [fd](int level, int name, int value) -> std::error_code {
    if (setsockopt(fd, level, name, &value, sizeof value) != 0) return {errno, std::generic_category()};
    return {};
  };
  if (auto e = set(IPPROTO_TCP, TCP_NODELAY, options.noDelay ? 1 : 0)) return e;
  if (auto e = set(SOL_SOCKET, SO_KEEPALIVE, options.keepAlive ? 1 : 0)) return e;
  if (!options.keepAlive) return {};
  if (auto e = set(IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(options.keepAliveIdle.count()))) return e;
  if (auto e = set(IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(options.keepAliveInterval.count()))) return e;
  return set(IPPROTO_TCP, TCP_KEEPCNT, options.keepAliveCount);
}

}  // namespace tillerpad::kit
