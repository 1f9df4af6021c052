#include "kit/transport/tls_connection.h"

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

#include "kit/transport/channel_error.h"

namespace tillerpad::kit {

namespace {

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
    // Read whatever the socket holds, many records per system call, instead
    // of a header and a body per record. Not more than four records' worth:
    // before each record OpenSSL moves what is left of its read-ahead to the
    // front, which with 256 KiB cost the receiver a second copy of the stream.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
    if (SSL_CTX_set_ex_data(ctx, exDataIndex(), this) != 1) fail("key map");
    if (parameters.role == TransportParameters::Role::server) {
      SSL_CTX_set_psk_server_callback(ctx, &Impl::serverKey);
    } else {
      SSL_CTX_set_psk_client_callback(ctx, &Impl::clientKey);
    }
  }

  ~Impl() {
    for (auto& [identity, key] : keys) OPENSSL_cleanse(key.data(), key.size());
    for (auto& psk : parameters.tlsOptions.psks) OPENSSL_cleanse(psk.key.data(), psk.key.size());
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

// OpenSSL straight on the non-blocking socket, driven by readiness waits on
// the strand. One read drains every record that is already in (up to the
// channel's 256 KiB), decrypting into the reader's own buffer where it offers
// one, and one write seals a whole frame, so a large frame costs a few
// wake-ups instead of one per 16 KiB record. Sealed records collect in an
// outbox and reach the socket in large writes (see the outbox below).
class TlsStream : public std::enable_shared_from_this<TlsStream> {
 public:
  TlsStream(std::shared_ptr<TlsContext::Impl> context, asio::ip::tcp::socket socket, Endpoint remote,
            std::optional<asio::ip::tcp::endpoint> target)
      : context_(std::move(context)),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        closeTimer_(socket_.get_executor()),
        remote_(std::move(remote)),
        target_(target),
        ssl_(SSL_new(context_->ssl.native_handle())) {
    if (!ssl_) throw std::runtime_error("TLS session could not be made");
  }

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
      beginTls(false);
    }
  }

  void receive(std::size_t /*minimum*/, std::size_t maximum, Connection::ReadHandler handler,
               Connection::ReadRoom room = nullptr) {
    if (cancelled_ || failed_) return;
    readMaximum_ = maximum;
    readHandler_ = std::move(handler);
    readRoom_ = std::move(room);
    // The last read emptied the socket: wait for it rather than try a read
    // that would only say so again.
    if (readDrained_ && ready_ && !readWaiting_ && !readEnding_ && SSL_has_pending(ssl_.get()) == 0) {
      return waitThen(asio::socket_base::wait_read, &TlsStream::pumpRead, readWaiting_);
    }
    // Never inline: the channel registers the next read from inside its callback.
    asio::post(strand_, [self = shared_from_this()] { self->pumpRead(); });
  }

  void send(BytePieces pieces, Connection::WriteHandler handler) {
    if (cancelled_ || failed_) {
      if (handler && started_) asio::post(strand_, [handler] { handler(abortedError()); });
      return;
    }
    writes_.push_back(Write{std::move(pieces), std::move(handler)});
    if (!ready_ || writeWaiting_ || followUpPosted_) return;
    // The first frame goes to the socket now, not one scheduler pass later
    // (its completion is posted, never called from here); frames that follow
    // within the same pass are gathered by the follow-up into one write.
    pumpWrite();
    followUpPosted_ = true;
    asio::post(strand_, [self = shared_from_this()] {
      self->followUpPosted_ = false;
      self->pumpWrite();
    });
  }

  void cancel() {
    if (cancelled_) return;
    cancelled_ = true;
    if (!started_) return;
    report(Connection::State::cancelled, nullptr);
    readHandler_ = nullptr;
    readRoom_ = nullptr;
    timer_.cancel();
    // One close_notify attempt on the non-blocking socket, behind what is
    // sealed already; the peer's answer is never awaited, so a silent peer
    // cannot hold the close up.
    if (ready_) {
      ERR_clear_error();
      SSL_shutdown(ssl_.get());
    }
    bool flushed = flush() == Flush::done;
    completeFlushed();
    failWrites(abortedError());
    if (!flushed) return reset();
    int unsent = 0;
    if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unsent) == 0 && unsent == 0) {
      std::error_code ignored;
      socket_.close(ignored);
      return;
    }
    // What the kernel still holds (a bye, the close_notify) gets a moment
    // behind a FIN; a peer that has not taken it by then gets a reset. A
    // FIN queued behind data a peer never reads would keep the connection
    // and its buffers for minutes, and that peer blocked on a full window.
    ::shutdown(socket_.native_handle(), SHUT_WR);
    closeTimer_.expires_after(closeGrace);
    closeTimer_.async_wait(
        asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code&) { self->reset(); }));
  }

  // Ends the connection with a reset, dropping whatever the kernel holds.
  void reset() {
    std::error_code ignored;
    if (!socket_.is_open()) return;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
  }

  Endpoint remote() const { return remote_; }

  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) {
    if (!ready_ || cancelled_) return std::nullopt;
    Bytes out(length);
    std::string labelText(label);
    int ok = SSL_export_keying_material(ssl_.get(), out.data(), out.size(), labelText.c_str(), labelText.size(),
                                        nullptr, 0, 0);
    if (ok != 1) return std::nullopt;
    return out;
  }

  std::optional<std::uint16_t> negotiatedCipherSuite() {
    if (!ready_) return std::nullopt;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get());
    if (!cipher) return std::nullopt;
    return static_cast<std::uint16_t>(SSL_CIPHER_get_protocol_id(cipher) & 0xFFFF);
  }

 private:
  struct Write {
    BytePieces pieces;
    Connection::WriteHandler handler;
    std::size_t piece = 0;   // where the chunks taken so far end
    std::size_t offset = 0;
    ByteView chunk;          // the chunk being sealed: retried unchanged, as OpenSSL asks
  };
  enum class Outcome { done, wantRead, wantWrite, endOfStream, failed };

  void report(Connection::State state, std::exception_ptr error) {
    if (!stateHandler_) return;
    asio::post(strand_, [handler = stateHandler_, state, error] { handler(state, error); });
  }

  void fail(std::exception_ptr error) {
    if (cancelled_ || failed_) return;
    failed_ = true;
    report(Connection::State::failed, error);
    failWrites(error);
    std::error_code ignored;
    socket_.close(ignored);
  }

  void failWrites(std::exception_ptr error) {
    // Sealed but not yet on the socket counts as not taken.
    for (auto& sealed : sealed_) {
      if (sealed.handler) asio::post(strand_, [handler = std::move(sealed.handler), error] { handler(error); });
    }
    sealed_.clear();
    for (auto& write : writes_) {
      if (write.handler) asio::post(strand_, [handler = write.handler, error] { handler(error); });
    }
    writes_.clear();
  }

  // MARK: outbox
  //
  // OpenSSL writes a record at a time. Straight onto the socket that is one
  // system call (and on loopback one segment, processed at once) per 16 KiB,
  // which cost the sender more than the sealing. The write BIO appends the
  // records here instead; flush() hands them to the socket in writes of up to
  // outboxLimit, and a handshake flight or a few small frames in one.

  static constexpr std::size_t outboxLimit = 256 * 1024;
  enum class Flush { done, blocked, failed };

  std::size_t unflushed() const { return outbox_.size() - outboxSent_; }

  // Non-blocking; `blocked` when the socket is full. On `failed`,
  // outboxErrno_ says why.
  Flush flush() {
    while (outboxSent_ < outbox_.size()) {
      if (!socket_.is_open()) {
        outboxErrno_ = EBADF;
        return Flush::failed;
      }
      ssize_t n = ::send(socket_.native_handle(), outbox_.data() + outboxSent_, outbox_.size() - outboxSent_,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        outboxSent_ += static_cast<std::size_t>(n);
        flushedTotal_ += static_cast<std::uint64_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Flush::blocked;
      outboxErrno_ = n < 0 ? errno : EPIPE;
      return Flush::failed;
    }
    outbox_.clear();  // keeps the capacity
    outboxSent_ = 0;
    return Flush::done;
  }

  std::exception_ptr flushError() const {
    return std::make_exception_ptr(ConnectionError(std::error_code(outboxErrno_, std::generic_category()),
                                                   std::string("TLS write failed: ") + std::strerror(outboxErrno_)));
  }

  // Reports the writes whose last byte reached the socket. Posted: the
  // write pump also runs from send() and cancel().
  void completeFlushed() {
    while (!sealed_.empty() && sealed_.front().end <= flushedTotal_) {
      auto handler = std::move(sealed_.front().handler);
      sealed_.pop_front();
      if (handler) asio::post(strand_, [handler = std::move(handler)] { handler(nullptr); });
    }
  }

  // The write BIO's one operation: append, and go to the socket once a
  // limit's worth waits; refuse (retry) while that much cannot be flushed.
  static int outboxWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
    auto* self = static_cast<TlsStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self->unflushed() >= outboxLimit) {
      Flush flushed = self->flush();
      if (flushed == Flush::failed) {
        errno = self->outboxErrno_;  // what OpenSSL reports as the system error
        return 0;
      }
      if (self->unflushed() >= outboxLimit) {
        BIO_set_retry_write(bio);
        return 0;
      }
    }
    if (self->outboxSent_ > 0) {
      // Partly sent and blocked: move the rest to the front before growing.
      self->outbox_.erase(self->outbox_.begin(), self->outbox_.begin() + static_cast<std::ptrdiff_t>(self->outboxSent_));
      self->outboxSent_ = 0;
    }
    // As bytes, not chars: a plain memcpy, not an element-wise conversion.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    self->outbox_.insert(self->outbox_.end(), bytes, bytes + length);
    self->sealedTotal_ += length;
    *written = length;
    return 1;
  }

  static long outboxControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    // Flushing is the stream's own step after every SSL call.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
  }

  static int outboxCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }

  static const BIO_METHOD* outboxMethod() {
    static const BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tillerpad outbox");
      if (!m || BIO_meth_set_write_ex(m, &TlsStream::outboxWrite) != 1 ||
          BIO_meth_set_ctrl(m, &TlsStream::outboxControl) != 1 || BIO_meth_set_create(m, &TlsStream::outboxCreate) != 1) {
        throw std::runtime_error("TLS configuration failed: write BIO");
      }
      return m;
    }();
    return method;
  }

  // What an SSL call's result means; on a failure `error_` describes it.
  Outcome classify(int result, const char* during) {
    int code = SSL_get_error(ssl_.get(), result);
    switch (code) {
      case SSL_ERROR_NONE:
        return Outcome::done;
      case SSL_ERROR_WANT_READ:
        return Outcome::wantRead;
      case SSL_ERROR_WANT_WRITE:
        return Outcome::wantWrite;
      case SSL_ERROR_ZERO_RETURN:
        return Outcome::endOfStream;
      default:
        break;
    }
    unsigned long packed = ERR_get_error();
    ERR_clear_error();
    if (packed == 0) {
      // No TLS error: the socket ended or failed under the session.
      int saved = errno;
      if (saved == 0) return Outcome::endOfStream;
      error_ = std::make_exception_ptr(ConnectionError(std::error_code(saved, std::generic_category()),
                                                       std::string(during) + ": " + std::strerror(saved)));
      return Outcome::failed;
    }
    if (ERR_GET_LIB(packed) == ERR_LIB_SSL && ERR_GET_REASON(packed) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      return Outcome::endOfStream;  // the peer's TCP end without close_notify
    }
    std::optional<std::uint8_t> alert;
    int reason = ERR_GET_REASON(packed);
    // OpenSSL reports a received alert as the reason SSL_AD_REASON_OFFSET + alert.
    if (ERR_GET_LIB(packed) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
      alert = static_cast<std::uint8_t>(reason - SSL_AD_REASON_OFFSET);
    }
    char text[256];
    ERR_error_string_n(packed, text, sizeof text);
    error_ = std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::protocol_error),
                                                     std::string(during) + ": " + text, alert));
    return Outcome::failed;
  }

  void connect() {
    const auto& tcp = context_->parameters.tcpOptions;
    timer_.expires_after(tcp.connectTimeout);
    timer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
      if (error || self->connected_ || self->cancelled_) return;
      self->connectTimedOut_ = true;
      std::error_code ignored;
      self->socket_.close(ignored);
    }));
    socket_.async_connect(*target_, asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
      self->connected_ = true;
      self->timer_.cancel();
      if (self->cancelled_) return;
      if (self->connectTimedOut_) {
        return self->fail(std::make_exception_ptr(
            ConnectionError(std::make_error_code(std::errc::timed_out), "TCP connect timed out")));
      }
      if (error) return self->fail(errorPointer(error, "TCP connect failed"));
      self->beginTls(true);
    }));
  }

  void beginTls(bool client) {
    std::error_code error;
    socket_.non_blocking(true, error);
    if (!error) error = applyTcpOptions(socket_.native_handle(), context_->parameters.tcpOptions);
    if (error) return fail(errorPointer(error, "TCP options could not be set"));
    // Reads straight from the socket; writes into the outbox.
    BIO* readBio = BIO_new_socket(socket_.native_handle(), BIO_NOCLOSE);
    BIO* writeBio = BIO_new(outboxMethod());
    if (!readBio || !writeBio) {
      BIO_free(readBio);
      BIO_free(writeBio);
      return fail(std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::io_error), "TLS BIOs could not be made")));
    }
    BIO_set_data(writeBio, this);  // the SSL, and with it the BIO, goes before this stream
    SSL_set_bio(ssl_.get(), readBio, writeBio);
    if (client) {
      SSL_set_connect_state(ssl_.get());
    } else {
      SSL_set_accept_state(ssl_.get());
    }
    pumpHandshake();
  }

  void pumpHandshake() {
    if (cancelled_ || failed_) return;
    if (unflushed() > 0) {
      // The previous flight is still on its way out.
      Flush flushed = flush();
      if (flushed == Flush::failed) return fail(flushError());
      if (flushed == Flush::blocked) {
        return waitThen(asio::socket_base::wait_write, &TlsStream::pumpHandshake, handshakeWaiting_);
      }
    }
    ERR_clear_error();
    errno = 0;
    Outcome outcome = classify(SSL_do_handshake(ssl_.get()), "TLS handshake failed");
    // The flight just sealed, or the alert of a failure, goes out now; one
    // attempt for an alert, since the connection fails anyway.
    Flush flushed = flush();
    if (flushed == Flush::failed && outcome != Outcome::failed) return fail(flushError());
    switch (outcome) {
      case Outcome::done:
        ready_ = true;
        report(Connection::State::ready, nullptr);
        // Also sends what did not fit the socket yet.
        if (!writes_.empty() || flushed == Flush::blocked) pumpWrite();
        return;
      case Outcome::wantRead:
        if (flushed == Flush::blocked) {
          return waitThen(asio::socket_base::wait_write, &TlsStream::pumpHandshake, handshakeWaiting_);
        }
        return waitThen(asio::socket_base::wait_read, &TlsStream::pumpHandshake, handshakeWaiting_);
      case Outcome::wantWrite:
        return waitThen(asio::socket_base::wait_write, &TlsStream::pumpHandshake, handshakeWaiting_);
      case Outcome::endOfStream:
        return fail(std::make_exception_ptr(
            ConnectionError(std::make_error_code(std::errc::connection_reset), "TLS handshake failed: the peer closed")));
      case Outcome::failed:
        return fail(error_);
    }
  }

  // Where this read's bytes go: the reader's room, or a buffer of our own.
  std::span<std::uint8_t> readTarget() {
    std::span<std::uint8_t> room = readRoom_ ? readRoom_(readMaximum_) : std::span<std::uint8_t>{};
    if (!room.empty()) return room.first(std::min(room.size(), readMaximum_));
    if (readBufferSize_ < readMaximum_) {
      readBuffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(readMaximum_);
      readBufferSize_ = readMaximum_;
    }
    return {readBuffer_.get(), readMaximum_};
  }

  void pumpRead() {
    if (cancelled_ || failed_ || !readHandler_ || !ready_ || readWaiting_) return;
    std::size_t filled = 0;
    Outcome outcome = Outcome::done;
    std::span<std::uint8_t> target;
    if (readEnding_) {
      // An end or failure met right after the bytes of the previous read.
      outcome = *readEnding_;
    } else {
      target = readTarget();
    }
    while (filled < target.size()) {
      ERR_clear_error();
      errno = 0;
      std::size_t count = 0;
      int result = SSL_read_ex(ssl_.get(), target.data() + filled, target.size() - filled, &count);
      if (result == 1) {
        filled += count;
        continue;
      }
      outcome = classify(result, "TLS read failed");
      break;
    }
    readDrained_ = outcome == Outcome::wantRead;
    // An alert that reading produced goes out before the reader hears of it.
    if (unflushed() > 0 && !writeWaiting_) flush();
    if (readEnding_) {
      filled = 0;
      error_ = readEndingError_;
    } else if (filled > 0) {
      // Hand over what is here; an end or an error after it comes with the
      // next read (OpenSSL would not report it a second time).
      if (outcome == Outcome::endOfStream || outcome == Outcome::failed) {
        readEnding_ = outcome;
        readEndingError_ = error_;
      }
      auto handler = std::exchange(readHandler_, nullptr);
      readRoom_ = nullptr;
      return handler(ByteView(target.data(), filled), false, nullptr);
    }
    switch (outcome) {
      case Outcome::done:
        return;
      case Outcome::wantRead:
        return waitThen(asio::socket_base::wait_read, &TlsStream::pumpRead, readWaiting_);
      case Outcome::wantWrite:
        return waitThen(asio::socket_base::wait_write, &TlsStream::pumpRead, readWaiting_);
      case Outcome::endOfStream:
        readRoom_ = nullptr;
        return std::exchange(readHandler_, nullptr)({}, true, nullptr);
      case Outcome::failed:
        readRoom_ = nullptr;
        return std::exchange(readHandler_, nullptr)({}, false, error_);
    }
  }

  // A write's pieces are sealed where they are, in whole records, with one
  // exception: bytes that would make a short record (the encoded head of a
  // frame, the end of an attachment, a small piece) are gathered with what
  // follows into staging_, up to a full record. So records stay full and
  // only those bytes are copied.
  static constexpr std::size_t recordSize = SSL3_RT_MAX_PLAIN_LENGTH;

  // Sets the write's next chunk; false when every piece is taken.
  bool nextChunk(Write& write) {
    auto& pieces = write.pieces;
    auto skipTaken = [&] {
      while (write.piece < pieces.size() && write.offset == pieces[write.piece].size()) {
        ++write.piece;
        write.offset = 0;
      }
    };
    skipTaken();
    if (write.piece == pieces.size()) return false;
    const SharedBytes& piece = pieces[write.piece];
    std::size_t left = piece.size() - write.offset;
    if (left >= recordSize) {
      std::size_t whole = left - left % recordSize;
      write.chunk = ByteView(piece.data() + write.offset, whole);
      write.offset += whole;
      return true;
    }
    staging_.clear();
    while (write.piece < pieces.size() && staging_.size() < recordSize) {
      const SharedBytes& next = pieces[write.piece];
      std::size_t take = std::min(next.size() - write.offset, recordSize - staging_.size());
      staging_.insert(staging_.end(), next.data() + write.offset, next.data() + write.offset + take);
      write.offset += take;
      skipTaken();
    }
    write.chunk = ByteView(staging_.data(), staging_.size());
    return true;
  }

  // Seals the queued frames into the outbox, then flushes it; a frame is
  // reported written once its last byte is on the socket.
  void pumpWrite() {
    if (cancelled_ || failed_ || !ready_ || writeWaiting_) return;
    while (!writes_.empty()) {
      auto& write = writes_.front();
      if (write.chunk.empty() && !nextChunk(write)) {
        sealed_.push_back(Sealed{sealedTotal_, std::move(write.handler)});
        writes_.pop_front();
        continue;
      }
      ERR_clear_error();
      errno = 0;
      std::size_t count = 0;
      int result = SSL_write_ex(ssl_.get(), write.chunk.data(), write.chunk.size(), &count);
      if (result == 1) {
        write.chunk = write.chunk.subspan(std::min(count, write.chunk.size()));
        continue;
      }
      switch (classify(result, "TLS write failed")) {
        case Outcome::wantRead:
          return waitThen(asio::socket_base::wait_read, &TlsStream::pumpWrite, writeWaiting_);
        case Outcome::wantWrite:
          // The outbox is full and the socket takes nothing.
          completeFlushed();
          return waitThen(asio::socket_base::wait_write, &TlsStream::pumpWrite, writeWaiting_);
        case Outcome::done:
          continue;
        case Outcome::endOfStream:
          error_ = std::make_exception_ptr(
              ConnectionError(std::make_error_code(std::errc::broken_pipe), "TLS write failed: the peer closed"));
          [[fallthrough]];
        case Outcome::failed: {
          // The session is unusable; every queued write fails with it. The
          // read side reports the ending.
          auto error = error_;
          failWrites(error);
          return;
        }
      }
    }
    switch (flush()) {
      case Flush::done:
        return completeFlushed();
      case Flush::blocked:
        completeFlushed();
        return waitThen(asio::socket_base::wait_write, &TlsStream::pumpWrite, writeWaiting_);
      case Flush::failed:
        return failWrites(flushError());
    }
  }

  void waitThen(asio::socket_base::wait_type type, void (TlsStream::*next)(), bool& waiting) {
    waiting = true;
    socket_.async_wait(type, asio::bind_executor(strand_, [self = shared_from_this(), next, &waiting](const std::error_code& error) {
      waiting = false;
      if (self->cancelled_ || self->failed_) return;
      if (error) return self->fail(errorPointer(error, "TCP wait failed"));
      ((*self).*next)();
    }));
  }

  struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };

  std::shared_ptr<TlsContext::Impl> context_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  // How long a cancelled connection's last bytes may take to be read.
  static constexpr std::chrono::seconds closeGrace{1};
  asio::steady_timer closeTimer_;
  Endpoint remote_;
  std::optional<asio::ip::tcp::endpoint> target_;
  std::unique_ptr<SSL, SslFree> ssl_;
  asio::any_io_executor strand_;
  Connection::StateHandler stateHandler_;
  Connection::ReadHandler readHandler_;
  Connection::ReadRoom readRoom_;
  std::size_t readMaximum_ = 0;
  // Only for a reader that offers no room; never zero-filled.
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  std::size_t readBufferSize_ = 0;
  std::deque<Write> writes_;
  Bytes staging_;  // the front write's gathered chunk
  // Frames sealed into the outbox, each with the outbox total at its end.
  struct Sealed {
    std::uint64_t end;
    Connection::WriteHandler handler;
  };
  std::deque<Sealed> sealed_;
  Bytes outbox_;
  std::size_t outboxSent_ = 0;  // bytes at the front of outbox_ already on the socket
  std::uint64_t sealedTotal_ = 0;
  std::uint64_t flushedTotal_ = 0;
  int outboxErrno_ = 0;
  std::exception_ptr error_;
  std::optional<Outcome> readEnding_;
  std::exception_ptr readEndingError_;
  bool started_ = false;
  bool connected_ = false;
  bool connectTimedOut_ = false;
  bool ready_ = false;
  bool failed_ = false;
  bool cancelled_ = false;
  bool handshakeWaiting_ = false;
  bool readWaiting_ = false;
  bool readDrained_ = false;  // the last read ended for want of bytes on the socket
  bool writeWaiting_ = false;
  bool followUpPosted_ = false;
};

class TlsConnectionImpl final : public Connection {
 public:
  explicit TlsConnectionImpl(std::shared_ptr<TlsStream> stream) : stream_(std::move(stream)) {}

  void setStateHandler(StateHandler handler) override { stream_->setStateHandler(std::move(handler)); }
  void start(asio::any_io_executor executor) override { stream_->start(std::move(executor)); }
  void receive(std::size_t minimum, std::size_t maximum, ReadHandler handler) override {
    stream_->receive(minimum, maximum, std::move(handler));
  }
  void receiveInto(std::size_t minimum, std::size_t maximum, ReadHandler handler, ReadRoom room) override {
    stream_->receive(minimum, maximum, std::move(handler), std::move(room));
  }
  void send(Bytes bytes, WriteHandler handler) override {
    BytePieces pieces;
    pieces.emplace_back(std::move(bytes));
    stream_->send(std::move(pieces), std::move(handler));
  }
  void sendPieces(BytePieces pieces, WriteHandler handler) override {
    stream_->send(std::move(pieces), std::move(handler));
  }
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
  if (options.socketBufferBytes > 0) {
    // Larger buffers (the kernel caps them at its maximum) let a screen frame
    // go out in fewer wake-ups of either end.
    if (auto e = set(SOL_SOCKET, SO_SNDBUF, options.socketBufferBytes)) return e;
    if (auto e = set(SOL_SOCKET, SO_RCVBUF, options.socketBufferBytes)) return e;
  }
  if (auto e = set(SOL_SOCKET, SO_KEEPALIVE, options.keepAlive ? 1 : 0)) return e;
  if (!options.keepAlive) return {};
  if (auto e = set(IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(options.keepAliveIdle.count()))) return e;
  if (auto e = set(IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(options.keepAliveInterval.count()))) return e;
  return set(IPPROTO_TCP, TCP_KEEPCNT, options.keepAliveCount);
}

}  // namespace tillerpad::kit
