#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <system_error>

#include "kit/transport/connection.h"
#include "kit/transport/transport_parameters.h"

namespace tillerpad::kit {

// The OpenSSL configuration of one end, built from TransportParameters: the
// PSK callbacks over an in-memory key map, the one suite, TLS 1.2 only, no
// tickets, no session cache, no renegotiation. Shared by its connections and
// kept alive by them.
class TlsContext {
 public:
  explicit TlsContext(TransportParameters parameters);
  const TransportParameters& parameters() const;

  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// TLS over TCP connections.
namespace TlsConnection {

// A phone's end: connects to `remote` (an address, not a name) within the
// connect time-out of the parameters, then runs the TLS handshake.
std::unique_ptr<Connection> connect(asio::any_io_executor executor, const TlsContext& context, Endpoint remote);

// The desktop's end of an accepted socket; the handshake runs on start().
std::unique_ptr<Connection> accept(asio::ip::tcp::socket socket, const TlsContext& context);

}  // namespace TlsConnection

// No-delay and keep-alive (idle, interval, count) on a connected TCP socket.
std::error_code applyTcpOptions(int fd, const TcpOptions& options);

}  // namespace tillerpad::kit
