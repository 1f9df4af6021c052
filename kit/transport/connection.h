#pragma once

#include <asio/any_io_executor.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "kit/common/bytes.h"
#include "kit/common/shared_bytes.h"
#include "kit/transport/endpoint.h"

namespace tillerpad::kit {

// Keying material to export from a TLS session (RFC 5705, no context).
struct KeyingMaterialRequest {
  std::string_view label;
  std::size_t length = 0;
};

// The byte-stream connection under a MessageChannel. Implementations: TLS
// over TCP (tls_connection.h) and in-memory scripted connections for tests
// (memory_connection.h).
//
// Contract: every operation except remoteEndpoint() is called on the executor
// given to start() (the channel's strand), and every callback is delivered
// on it, never inline from the call that registered it. Errors are carried as
// exception pointers (null: no error).
class Connection {
 public:
  enum class State { setup, preparing, waiting, ready, failed, cancelled };

  using StateHandler = std::function<void(State, std::exception_ptr)>;
  // Bytes (valid only during the call; may be empty), end of stream, error.
  using ReadHandler = std::function<void(ByteView, bool, std::exception_ptr)>;
  using WriteHandler = std::function<void(std::exception_ptr)>;

  virtual ~Connection() = default;

  // Set once, before start().
  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void start(asio::any_io_executor executor) = 0;
  // One read of at least `minimum` and at most `maximum` bytes; at most one pending.
  virtual void receive(std::size_t minimum, std::size_t maximum, ReadHandler handler) = 0;
  // Where a read may put its bytes: writable space of up to `maximum` bytes
  // (empty: none). Asked for on the executor, right before the bytes are read.
  using ReadRoom = std::function<std::span<std::uint8_t>(std::size_t maximum)>;
  // receive(), with the bytes read straight into `room` where the connection
  // can, which saves the reader a copy; the handler's view then points into
  // that space (its start; at most the room's size). Connections that cannot
  // ignore the room.
  virtual void receiveInto(std::size_t minimum, std::size_t maximum, ReadHandler handler, ReadRoom /*room*/) {
    receive(minimum, maximum, std::move(handler));
  }
  // Writes `bytes` as one unit; writes go out in call order. `handler` may be
  // empty (fire and forget).
  virtual void send(Bytes bytes, WriteHandler handler) = 0;
  // send() of the pieces, one after the other, as one unit. Connections that
  // can write them where they are spare the caller joining them; the others
  // join them here.
  virtual void sendPieces(BytePieces pieces, WriteHandler handler) {
    if (pieces.size() == 1) return send(std::move(pieces.front()).release(), std::move(handler));
    std::size_t size = 0;
    for (const auto& piece : pieces) size += piece.size();
    Bytes joined;
    joined.reserve(size);
    for (const auto& piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    send(std::move(joined), std::move(handler));
  }
  // Idempotent; leads to the state cancelled once started. Bounded in time.
  virtual void cancel() = 0;

  // Fixed when the connection is made; safe from any thread.
  virtual Endpoint remoteEndpoint() const = 0;
  // RFC 5705 exporter with no context; nothing without a TLS session.
  // Not free: an exporter call costs about as much as decoding a message.
  virtual std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) = 0;
  virtual std::optional<std::uint16_t> negotiatedCipherSuite() = 0;
};

}  // namespace tillerpad::kit
