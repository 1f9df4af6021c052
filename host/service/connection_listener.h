#pragma once

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "kit/transport/connection.h"
#include "kit/transport/transport_parameters.h"

namespace tillerpad::host {

// The server's TCP front door with one key set. Events are posted to the
// executor the listener was made for, never delivered inline.
class ConnectionListener {
 public:
  enum class State { ready, failed, cancelled };

  struct Handlers {
    // port: for ready; error: the description, for failed.
    std::function<void(State state, std::uint16_t port, const std::string& error)> onState;
    // An accepted connection, not started yet.
    std::function<void(std::unique_ptr<kit::Connection>)> onConnection;
  };

  virtual ~ConnectionListener() = default;
  virtual void start(Handlers handlers) = 0;
  // Stops accepting; the cancelled state follows. Idempotent.
  virtual void cancel() = 0;
};

// Creation may throw (std::exception): the listener could not be made.
using ListenerFactory = std::function<std::unique_ptr<ConnectionListener>(kit::TransportParameters parameters)>;

// TLS over TCP on `port` (0: a port the system chooses anew at every start),
// IPv6 with IPv4 mapped where the system has IPv6, else IPv4 only.
ListenerFactory tlsListenerFactory(asio::any_io_executor executor, std::uint16_t port = 0);

// Binds `port` the way the TLS listener does and closes it again: what the
// listener would fail with now, if anything.
std::error_code probeTcpPort(std::uint16_t port);

// Counts the bytes a connection reads until `release()` is called on the
// returned handle; beyond `budget` the next read fails, so that a peer that
// has not authenticated costs bounded memory.
class ReadBudget {
 public:
  virtual ~ReadBudget() = default;
  virtual void release() = 0;
};
std::pair<std::unique_ptr<kit::Connection>, std::shared_ptr<ReadBudget>> withReadBudget(
    std::unique_ptr<kit::Connection> connection, std::size_t budget);

}  // namespace tillerpad::host
