#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kit/transport/connection.h"

namespace tillerpad::kit {

// In-memory connections for tests: a scripted one whose reads, states and
// write failures a test controls through its MemoryScript, and connected
// pairs whose writes arrive as the other end's reads.
class MemoryScript;

struct MemoryConnectionOptions {
  // False: the connection stays "preparing" until the script says otherwise.
  bool readyOnStart = true;
  Endpoint remote = Endpoint::hostPort("127.0.0.1", 50000);
  // What the TLS exporter would give; nothing means "no TLS session".
  std::function<std::optional<Bytes>(std::string_view label, std::size_t length)> exporter;
  std::optional<std::uint16_t> cipherSuite;
};

namespace MemoryConnection {

std::pair<std::unique_ptr<Connection>, std::shared_ptr<MemoryScript>> make(MemoryConnectionOptions options = {});

// Two connected ends with one shared exporter secret (both ends export the
// same bytes for the same label, different pairs differ) and the suite
// 0xCCAC, like a TLS session would.
struct Pair {
  std::unique_ptr<Connection> a, b;
  std::shared_ptr<MemoryScript> scriptA, scriptB;
};
Pair pair();

}  // namespace MemoryConnection

// The test's handle on a memory connection. Safe from any thread; the
// connection's callbacks are posted to its executor.
class MemoryScript {
 public:
  // One read callback each: bytes (split when larger than the read asks
  // for), end of stream, an error.
  void deliver(Bytes bytes, bool endOfStream = false, std::exception_ptr error = nullptr);
  void deliverEndOfStream() { deliver({}, true); }
  void failRead(std::exception_ptr error) { deliver({}, false, std::move(error)); }
  // Moves the connection to `state` (ready, waiting, failed, cancelled ...).
  void enterState(Connection::State state, std::exception_ptr error = nullptr);
  // Every later write fails with `error`.
  void failWrites(std::exception_ptr error);
  // Every later write is recorded but neither delivered nor completed, as
  // when the peer stops reading and the socket's buffer is full; cancelling
  // the connection fails them.
  void stallWrites();

  // Each write as it was handed over, in order.
  std::vector<Bytes> writes() const;
  bool isStarted() const;
  bool isCancelled() const;
  // The largest maximum any read asked for.
  std::size_t largestReadRequest() const;
  // Deliveries not yet read by the connection's owner.
  std::size_t undelivered() const;

  struct State;
  explicit MemoryScript(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  friend MemoryConnection::Pair MemoryConnection::pair();

  std::shared_ptr<State> state_;
};

}  // namespace tillerpad::kit
